from typing import Any, Optional

class CameraError(RuntimeError):
    code: Any  # QuorvexDepthCamera.TOFErrorCode or None
    reason: Optional[str]
    def __init__(self, message: str, code: Any = None, reason: Optional[str] = None) -> None: ...
