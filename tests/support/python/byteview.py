"""A read-only view of part of a bytes object, without a copy, in the form
the tessera module takes as data under both Pythons: a buffer object on 2.7
(whose data arguments refuse memoryview), a memoryview on 3."""
import sys

if sys.version_info[0] >= 3:
    def byte_view(data, offset=0, size=None):
        """The `size` bytes of `data` from `offset` on (all the rest without `size`)."""
        view = memoryview(data)
        return view[offset:] if size is None else view[offset:offset + size]
else:
    byte_view = buffer  # noqa: F821 -- Python 2.7's read-only buffer object
