"""A live web viewer of any source (needs the `view` extra: aiohttp);
`python -m quorvex view` serves one."""
from .server import ServerThread, Viewer, serve_forever

__all__ = ["Viewer", "ServerThread", "serve_forever"]
