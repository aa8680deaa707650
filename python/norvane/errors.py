"""The package's exception and the one place where library results become exceptions."""

from typing import Optional

__all__ = ["CameraError", "CameraTimeout", "RecordingError", "error_text", "check"]

# The library's error codes and their texts.
_TEXTS = {
    0: "success",
    1: "invalid parameter",
    2: "no cache",
    3: "unknown device",
    4: "not implemented",
    240: "skip frame",
    -2: "system error",
    -1: "unknown error",
}


class CameraError(Exception):
    """A camera operation failed.

    `code` is the library's error code (0 success, 1 invalid parameter,
    4 not implemented, -1 generic failure, -2 failed system call); the
    message names the operation, the camera and the likely cause.
    """

    def __init__(self, message: str, code: int = -1) -> None:
        super().__init__(message)
        self.code = code


class CameraTimeout(CameraError, TimeoutError):
    """No frame arrived within the time-out while the camera was running."""


class RecordingError(CameraError):
    """A recording could not be written or read; the message names the file."""

    def __init__(self, message: str, code: int = -1) -> None:
        super().__init__(message, code)


def error_text(code: int) -> str:
    return _TEXTS.get(code, "unknown error")


def check(code: int, operation: str, camera: str, cause: Optional[str] = None) -> None:
    """Raises CameraError unless `code` is the library's success."""
    if code == 0:
        return
    message = f"{operation} failed on {camera}: {error_text(code)} (code {code})"
    if cause:
        message += f"; {cause}"
    raise CameraError(message, code)
