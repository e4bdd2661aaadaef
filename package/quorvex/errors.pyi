import contextlib
from typing import Any, Iterator, List, Optional

class CameraError(RuntimeError):
    code: Any  # QuorvexDepthCamera.TOFErrorCode or None
    reason: Optional[str]
    library_reasons: List[str]
    def __init__(self, message: str, code: Any = None, reason: Optional[str] = None) -> None: ...

def native_stderr() -> contextlib.AbstractContextManager[List[str]]: ...
def is_library_notice(line: str) -> bool: ...
