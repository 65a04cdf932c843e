"""The live view in a browser: the capture's side (feed), the server in a
process of its own, its request checks, its wire format and its page."""
from .feed import View, view_address  # noqa: F401
