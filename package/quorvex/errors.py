"""The package's one exception type."""


class CameraError(RuntimeError):
    """A camera call failed. `code` is the extension's `TOFErrorCode` (None
    when the failure is the package's own, e.g. a stalled stream)."""

    def __init__(self, message, code=None):
        super().__init__(message)
        self.code = code
