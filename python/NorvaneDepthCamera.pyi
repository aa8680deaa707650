"""Type information for NorvaneDepthCamera, the time-of-flight camera driver.

Typical use::

    cam = NorvaneCamera()
    cam.open(TOFConnect.USB)
    cam.start(TOFOutput.DEPTH)
    frame = cam.requestFrame(1000)
    if isinstance(frame, DepthData):
        depth = frame.getDepthData()  # (height, width) float32, millimetres
        cam.releaseFrame(frame)
    cam.stop()
    cam.close()
"""

import typing

import numpy
import numpy.typing

__version__: str

# Shared by every enumeration below; it exists only in this file. At run
# time each enumeration is a class of its own with these members.
class _NativeEnum:
    def __init__(self, value: typing.SupportsInt) -> None: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: int) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

class TOFDeviceType(_NativeEnum):
    """Depth-processing device picked after open. Compares equal to an int of the same number."""

    VGA: typing.ClassVar[TOFDeviceType]  # value = 0
    HQVGA: typing.ClassVar[TOFDeviceType]  # value = 1
    __members__: typing.ClassVar[dict[str, TOFDeviceType]]

class TOFOutput(_NativeEnum):
    """Kind of frame a started camera delivers (RAW or DEPTH), and of a frame record."""

    RAW: typing.ClassVar[TOFOutput]  # value = 0
    DEPTH: typing.ClassVar[TOFOutput]  # value = 2
    CONFIDENCE: typing.ClassVar[TOFOutput]  # value = 1
    CACHE: typing.ClassVar[TOFOutput]  # value = 4
    __members__: typing.ClassVar[dict[str, TOFOutput]]

class TOFConnect(_NativeEnum):
    """How the camera is attached."""

    CSI: typing.ClassVar[TOFConnect]  # value = 0
    USB: typing.ClassVar[TOFConnect]  # value = 1
    __members__: typing.ClassVar[dict[str, TOFConnect]]

class TOFControl(_NativeEnum):
    """Integer camera parameters for setControl and getControl."""

    RANGE: typing.ClassVar[TOFControl]  # value = 0
    FMT_WIDTH: typing.ClassVar[TOFControl]  # value = 1
    FMT_HEIGHT: typing.ClassVar[TOFControl]  # value = 2
    MODE: typing.ClassVar[TOFControl]  # value = 3
    FRAME_MODE: typing.ClassVar[TOFControl]  # value = 4
    EXPOSURE: typing.ClassVar[TOFControl]  # value = 5
    FRAME_RATE: typing.ClassVar[TOFControl]  # value = 6
    SKIP_FRAME: typing.ClassVar[TOFControl]  # value = 7
    SKIP_FRAME_LOOP: typing.ClassVar[TOFControl]  # value = 8
    CONFIG_DIR_EXT: typing.ClassVar[TOFControl]  # value = 256
    __members__: typing.ClassVar[dict[str, TOFControl]]

class TofWorkMode(_NativeEnum):
    """Values of the MODE control."""

    SINGLE_FREQ: typing.ClassVar[TofWorkMode]  # value = 0
    DOUBLE_FREQ: typing.ClassVar[TofWorkMode]  # value = 1
    TRIPLE_FREQ: typing.ClassVar[TofWorkMode]  # value = 2
    QUAD_FREQ: typing.ClassVar[TofWorkMode]  # value = 3
    DISTANCE: typing.ClassVar[TofWorkMode]  # value = 4
    HDR: typing.ClassVar[TofWorkMode]  # value = 5
    AE: typing.ClassVar[TofWorkMode]  # value = 6
    BG_OUTDOOR: typing.ClassVar[TofWorkMode]  # value = 7
    GRAY_ONLY: typing.ClassVar[TofWorkMode]  # value = 8
    CUSTOM1: typing.ClassVar[TofWorkMode]  # value = 9
    CUSTOM2: typing.ClassVar[TofWorkMode]  # value = 10
    CUSTOM3: typing.ClassVar[TofWorkMode]  # value = 11
    __members__: typing.ClassVar[dict[str, TofWorkMode]]

class TofFrameWorkMode(_NativeEnum):
    """Values of the FRAME_MODE control."""

    SINGLE_FREQ_2PHASE: typing.ClassVar[TofFrameWorkMode]  # value = 0
    SINGLE_FREQ_4PHASE: typing.ClassVar[TofFrameWorkMode]  # value = 1
    SINGLE_FREQ_4PHASE_GRAY: typing.ClassVar[TofFrameWorkMode]  # value = 2
    SINGLE_FREQ_4PHASE_BG: typing.ClassVar[TofFrameWorkMode]  # value = 3
    SINGLE_FREQ_4PHASE_4BG: typing.ClassVar[TofFrameWorkMode]  # value = 4
    SINGLE_FREQ_4PHASE_GRAY_5BG: typing.ClassVar[TofFrameWorkMode]  # value = 5
    SINGLE_FREQ_GRAY_BG_4PHASE_GRAY_BG: typing.ClassVar[TofFrameWorkMode]  # value = 6
    SINGLE_FREQ_GRAY_BG_4PHASE_BG: typing.ClassVar[TofFrameWorkMode]  # value = 7
    SINGLE_FREQ_BG_GRAY_BG_4PHASE: typing.ClassVar[TofFrameWorkMode]  # value = 8
    SINGLE_FREQ_BG_4PHASE_BG_GRAY: typing.ClassVar[TofFrameWorkMode]  # value = 9
    DOUBLE_FREQ_4PHASE: typing.ClassVar[TofFrameWorkMode]  # value = 10
    DOUBLE_FREQ_4PHASE_GRAY_4PHASE_BG: typing.ClassVar[TofFrameWorkMode]  # value = 11
    DOUBLE_FREQ_4PHASE_4BG: typing.ClassVar[TofFrameWorkMode]  # value = 12
    DOUBLE_FREQ_4PHASE_GRAY_5BG: typing.ClassVar[TofFrameWorkMode]  # value = 13
    TRIPLE_FREQ_4PHASE: typing.ClassVar[TofFrameWorkMode]  # value = 14
    TRIPLE_FREQ_4PHASE_GRAY_4PHASE_GRAY_4PHASE_BG: typing.ClassVar[TofFrameWorkMode]  # value = 15
    QUAD_FREQ_4PHASE: typing.ClassVar[TofFrameWorkMode]  # value = 16
    QUAD_FREQ_4PHASE_GRAY_4PHASE_BG_4PHASE_GRAY_4PHASE_BG: typing.ClassVar[TofFrameWorkMode]  # value = 17
    BG_OUTDOOR: typing.ClassVar[TofFrameWorkMode]  # value = 18
    GRAY_ONLY: typing.ClassVar[TofFrameWorkMode]  # value = 19
    CUSTOM: typing.ClassVar[TofFrameWorkMode]  # value = 20
    __members__: typing.ClassVar[dict[str, TofFrameWorkMode]]

class TOFErrorCode(_NativeEnum):
    """Result of a camera operation. Compares equal to an int of the same number."""

    NorvaneSuccess: typing.ClassVar[TOFErrorCode]  # value = 0
    NorvaneInvalidParameter: typing.ClassVar[TOFErrorCode]  # value = 1
    NorvaneNoCache: typing.ClassVar[TOFErrorCode]  # value = 2
    NorvaneUnkownDevice: typing.ClassVar[TOFErrorCode]  # value = 3
    NorvaneNotImplemented: typing.ClassVar[TOFErrorCode]  # value = 4
    NorvaneSkipFrame: typing.ClassVar[TOFErrorCode]  # value = 240
    NorvaneSystemError: typing.ClassVar[TOFErrorCode]  # value = -2
    NorvaneUnkownError: typing.ClassVar[TOFErrorCode]  # value = -1
    __members__: typing.ClassVar[dict[str, TOFErrorCode]]
    def str(self) -> str:
        """The error text of this code ("Unknown error" for a number without one)."""

class NorvaneFormat:
    """Description of one frame plane (a copy; no constructor).

    Reading type gives a copy of the field's value, as for NorvaneInfo.
    """

    width: int
    height: int
    timestamp: int
    """Capture timestamp of the frame."""
    type: TOFOutput

class NorvaneInfo:
    """Description of the opened camera (a copy; no constructor).

    Reading an enumeration property (connect, device_type, type) gives a
    copy of the field's value: a later assignment to the field does not
    change an enum object read before it.
    """

    index: int
    connect: TOFConnect
    device_type: TOFDeviceType
    type: TOFOutput
    width: int
    height: int
    bit_width: int
    bpp: int

class NorvaneFrame:
    """A frame lent by requestFrame until releaseFrame (no constructor).

    Its accessors raise RuntimeError once the frame was released, the camera
    was started again, closed or deleted.
    """

class RawData(NorvaneFrame):
    """A raw frame: one signed 16-bit plane."""

    def getRawData(self) -> numpy.typing.NDArray[numpy.int16]:
        """Get raw data from the frame"""
    def getFrameFormat(self) -> NorvaneFormat:
        """Get the information of this frame"""

class DepthData(NorvaneFrame):
    """A depth frame: depth (millimetres), confidence and amplitude planes of 32-bit floats."""

    def getDepthData(self) -> numpy.typing.NDArray[numpy.float32]:
        """Get depth data from the frame"""
    def getConfidenceData(self) -> numpy.typing.NDArray[numpy.float32]:
        """Get confidence data from the frame"""
    def getAmplitudeData(self) -> numpy.typing.NDArray[numpy.float32]:
        """Get amplitude data from the frame"""
    def getFrameFormat(self) -> NorvaneFormat:
        """Get the information of this frame"""

class NorvaneCamera:
    """One camera. Library failures come back as TOFErrorCode values, never as exceptions."""

    def __init__(self) -> None: ...
    def open(self, mode: TOFConnect, index: int = 0) -> TOFErrorCode:
        """Initialize the camera configuration and turn on the camera, set the initialization frame according to the mode.

        - mode Specify the connection method.
        - index Device node, the default value is video0.
        """
    def openWithFile(self, path: str | bytes | None, index: int = 0) -> TOFErrorCode:
        """Initialize the camera configuration and turn on the camera, set the initialization frame according to the mode.

        - path Specify the config file path.
        - index Device node, the default value is video0.
        """
    def close(self) -> TOFErrorCode:
        """Close the camera"""
    def start(self, type: TOFOutput) -> TOFErrorCode:
        """Start the camera stream and start processing."""
    def stop(self) -> TOFErrorCode:
        """Stop camera stream and processing."""
    def setControl(self, ctrl: TOFControl, value: int) -> TOFErrorCode:
        """Set camera parameters.

        SKIP_FRAME of every SKIP_FRAME_LOOP frames are dropped; only
        0 <= SKIP_FRAME < SKIP_FRAME_LOOP is accepted, so set a longer cycle
        before a larger skip, and a smaller skip before a shorter cycle.
        """
    def getControl(self, ctrl: TOFControl) -> int:
        """Get camera parameters."""
    def getCameraInfo(self) -> NorvaneInfo:
        """Get camera information."""
    def requestFrame(self, timeout: int) -> RawData | DepthData | None:
        """Request a frame of data from the frame processing thread.

        Waits up to timeout milliseconds (-32768 to 32767; negative: without
        limit) with the interpreter lock released; Ctrl-C ends the wait, and
        so do stop (once no frame is ready), a new start, open or close (None).
        """
    def releaseFrame(self, frame: NorvaneFrame | None) -> TOFErrorCode:
        """Free the memory space of the frame.

        A frame dropped without it gives its buffer back by itself.
        """
