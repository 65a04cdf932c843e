"""The live view in a browser: the server, its wire format and its page."""
from .server import View, view_address  # noqa: F401
