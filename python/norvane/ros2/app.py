"""`norvane ros2` and `python -m norvane.ros2`: the node's process from start to exit.

Exit 0 on Ctrl-C, SIGTERM or the end of a recording; 1, after one line on
standard error, when ROS 2 is missing, the camera cannot be opened, is
published by another node already, refuses a parameter given at launch, or
fails while streaming.
"""

from __future__ import annotations

import argparse
import fcntl
import os
import re
import signal
import sys
import tempfile
import threading
from typing import IO, Any, List, Optional, Sequence, Tuple

from ..errors import CameraError

POLL_S = 0.1  # how often the main thread looks for a stop while it answers ROS requests
ROS_ARGS = "--ros-args"
_LIVE_SOURCE = re.compile(r"(csi|usb):(\d+)")


def add_arguments(parser: argparse.ArgumentParser) -> None:
    from ..commands._common import add_source_arguments

    add_source_arguments(parser)
    parser.epilog = ("ROS arguments follow --ros-args, for example: --ros-args -p depth_encoding:=16UC1 "
                     "-r __ns:=/robot -r __node:=front_camera")


def split_ros_args(argv: Sequence[str]) -> Tuple[List[str], List[str]]:
    """Our arguments, and the ROS arguments from the first --ros-args on."""
    args = list(argv)
    at = args.index(ROS_ARGS) if ROS_ARGS in args else len(args)
    return args[:at], args[at:]


def _fail(text: str) -> int:
    print(f"norvane: {text}", file=sys.stderr, flush=True)
    return 1


class CameraClaim:
    """An advisory lock on one live camera, so a second node on it is refused with a reason."""

    def __init__(self, key: str) -> None:
        folder = "/run/lock" if os.access("/run/lock", os.W_OK) else tempfile.gettempdir()
        self.path = os.path.join(folder, f"norvane-{key.replace(':', '')}.lock")
        try:
            try:
                fd, mode = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_CLOEXEC, 0o644), "r+b"
            except PermissionError:  # another user's node made it: locking needs no write access
                fd, mode = os.open(self.path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC), "rb"
        except OSError as error:
            raise CameraError(f"cannot claim {key} for this node: {self.path}: {error.strerror}", -1) from None
        self._file: IO[bytes] = os.fdopen(fd, mode)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = self._file.read(32).decode(errors="replace").strip() or "unknown"
            self._file.close()
            raise CameraError(f"{key} is already published by another norvane ROS 2 node (process {holder}); "
                              "stop that node, or open another camera", -1) from None
        if self._file.writable():
            self._file.truncate(0)
            self._file.write(f"{os.getpid()}\n".encode())
            self._file.flush()

    def release(self) -> None:
        self._file.close()


def _claim_key(source: Optional[str], config: Optional[str]) -> Optional[str]:
    """The camera a source names, before it is opened: 'csi:N' or 'usb:N'; None for a recording or the first found."""
    if source is not None and _LIVE_SOURCE.fullmatch(source):
        return source
    if config is not None or (source is not None and not source.endswith(".mcap")):
        return "usb:0"  # a kit configuration file configures USB camera 0
    return None


def run(source: Optional[str], config: Optional[str], ros_args: Sequence[str], prog: str = "norvane") -> int:
    """Runs the node until Ctrl-C, SIGTERM, the end of a recording or a failure; the exit code."""
    try:
        import rclpy
        from rclpy.exceptions import ParameterException
        from rclpy.executors import SingleThreadedExecutor
    except ImportError as error:
        return _fail(f"the ROS 2 node needs rclpy ({error}): source a ROS 2 installation, "
                     "or pip install 'NorvaneDepthCamera[ros2]'")
    import norvane

    from .node import CameraNode

    claims: List[CameraClaim] = []
    camera: Optional[norvane.Camera] = None
    node: Optional[CameraNode] = None
    try:
        rclpy.init(args=[prog, *ros_args])
    except Exception as error:  # rclpy reports bad ROS arguments as its own error types
        return _fail(f"bad ROS arguments: {str(error).splitlines()[0] if str(error) else type(error).__name__}")
    stop = threading.Event()
    ended: List[Optional[str]] = []

    def on_end(error: Optional[str]) -> None:
        ended.append(error)
        stop.set()

    def on_signal(number: int, _frame: Any) -> None:
        stop.set()

    previous = {number: signal.signal(number, on_signal) for number in (signal.SIGINT, signal.SIGTERM)}
    try:
        key = _claim_key(source, config)
        if key is not None:
            claims.append(CameraClaim(key))
        try:
            camera = norvane.open(source, config=config)
        except (ValueError, OSError) as error:
            raise CameraError(str(error), -1) from None
        if key is None and camera.info.connection != "recording":
            claims.append(CameraClaim(f"{camera.info.connection}:{camera.info.index}"))
        try:
            node = CameraNode(camera, on_end)
            node.start()
        except (ValueError, TypeError, ParameterException) as error:
            raise CameraError(f"a parameter given at launch was refused: {error}", -1) from None
        executor = SingleThreadedExecutor()
        executor.add_node(node.node)
        while not stop.is_set():
            executor.spin_once(timeout_sec=POLL_S)
        if ended and ended[0] is not None:
            node.node.get_logger().error(ended[0])
            return 1
        if ended:
            node.node.get_logger().info(f"the recording {camera.info.source} ended")
        return 0
    except CameraError as error:
        return _fail(str(error))
    finally:
        try:
            if node is not None:
                node.close()  # the capture thread, then the camera
                node.node.destroy_node()
            elif camera is not None:
                camera.close()
        except CameraError:
            pass  # the exit code already says what went wrong
        for claim in claims:
            claim.release()
        for number, handler in previous.items():
            signal.signal(number, handler)
        if rclpy.ok():
            rclpy.shutdown()


def main(argv: Optional[Sequence[str]] = None) -> int:
    ours, ros = split_ros_args(sys.argv[1:] if argv is None else argv)
    parser = argparse.ArgumentParser(prog="python -m norvane.ros2",
                                     description="The ROS 2 camera node: depth, amplitude, confidence, "
                                                 "camera info and points on ROS 2 topics.")
    add_arguments(parser)
    args = parser.parse_args(ours)
    return run(args.source, args.config, ros)
