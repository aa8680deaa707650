"""The camera node: publishes every frame its camera delivers, its parameters drive the camera's controls.

The node is a sink of its camera: the camera hands it each frame a read
delivers, and it keeps the newest for its publishing thread, so publishing
never holds up a read. Its capture thread drives the reads (the newest
frame of a live camera, a recording's every frame in turn, each once the
one before is taken); the executor's thread answers parameter requests and
publishes /diagnostics once a second. Controls are set on the camera from
the executor's thread while the capture thread reads (the camera allows
that); only a mode change, which restarts the stream, waits for the read in
progress. Closing the camera ends the node.
"""

from __future__ import annotations

import threading
import time
from typing import Any, Callable, Dict, List, Optional

from diagnostic_msgs.msg import DiagnosticArray, DiagnosticStatus, KeyValue
from rcl_interfaces.msg import SetParametersResult
from rclpy.node import Node
from rclpy.parameter import Parameter
from rclpy.publisher import Publisher
from sensor_msgs.msg import CameraInfo, Image, PointCloud2

from ..camera import Camera, Frame
from ..errors import CameraError
from . import messages
from .parameters import CONTROLS, QOS, camera_value, check_setting, declarations

READ_TIMEOUT_S = 0.2
DIAGNOSTICS_PERIOD_S = 1.0
DEFAULT_NAME = "norvane"

# Topic of each published stream, private to the node.
DEPTH_TOPICS = {"depth": "~/depth/image_raw", "camera_info": "~/depth/camera_info",
                "amplitude": "~/amplitude/image_raw", "confidence": "~/confidence/image_raw",
                "points": "~/points"}
RAW_TOPICS = {"raw": "~/raw/image_raw"}


class _FrameSlot:
    """The node's sink: the newest frame delivered, until the publishing thread takes it."""

    def __init__(self) -> None:
        self._ready = threading.Condition()
        self._frame: Optional[Frame] = None
        self._busy = False  # a taken frame is being published
        self.ended = False  # the camera closed

    def put(self, frame: Frame) -> None:
        with self._ready:
            self._frame = frame  # a newer frame replaces one not yet taken
            self._ready.notify_all()

    def close(self) -> None:
        with self._ready:
            self.ended = True
            self._ready.notify_all()

    def take(self) -> Optional[Frame]:
        """The next frame to publish, waiting for one; None once the camera closed."""
        with self._ready:
            self._busy = False
            self._ready.notify_all()
            self._ready.wait_for(lambda: self._frame is not None or self.ended)
            frame, self._frame = self._frame, None
            self._busy = frame is not None
            return frame

    def wait_idle(self, timeout: float) -> bool:
        """Waits until every frame put has been published; False when that took longer than timeout."""
        with self._ready:
            return self._ready.wait_for(lambda: (self._frame is None and not self._busy) or self.ended, timeout)


class CameraNode:
    """A ROS 2 node (`node`) that publishes `camera`'s frames; start() starts the camera and the node's threads.

    on_end(error) is called once, from one of the node's threads, when the
    stream ends before close(): error None for a recording played to its end
    and published, else the reason (the camera failed or was closed).
    """

    def __init__(self, camera: Camera, on_end: Callable[[Optional[str]], None], name: str = DEFAULT_NAME) -> None:
        self.node = Node(name)
        self.camera = camera
        self._on_end = on_end
        self._initial = {key: value for key, (value, _) in declarations(camera).items()}
        self._settings: Dict[str, Any] = {key: self.node.declare_parameter(key, value, descriptor).value
                                          for key, (value, descriptor) in declarations(camera).items()}
        self._recorded = camera.info.connection == "recording"
        self._lock = threading.Lock()  # the publishers, swapped by a QoS change
        self._stream = threading.Lock()  # held by a read; a restart waits for it
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._capture, name="norvane-ros2-capture", daemon=True)
        self._slot = _FrameSlot()
        self._publisher = threading.Thread(target=self._publish_frames, name="norvane-ros2-publish", daemon=True)
        self._ended = threading.Lock()  # on_end is called once
        self._publishers: Dict[str, Publisher[Any]] = {}
        self._lens_warned = False
        self._messages = messages.Messages()  # used by the capture thread alone
        # Counted by the capture thread, read by the diagnostics timer.
        self._published = 0
        self._missed = 0
        self._last_index: Optional[int] = None
        self._last_seen_ns: Optional[int] = None
        self._published_at_tick = 0
        self._tick_ns = time.monotonic_ns()
        self._diagnostics = self.node.create_publisher(DiagnosticArray, "/diagnostics", QOS["default"])

    # --- lifecycle ----------------------------------------------------------------
    def start(self) -> None:
        """Applies the controls given at launch, starts the camera and the capture thread.

        Raises CameraError, ValueError or TypeError for a control the camera refuses.
        """
        for name in CONTROLS:  # given with --ros-args -p NAME:=VALUE
            value = camera_value(name, self._settings[name])
            if value != camera_value(name, self._initial[name]):
                setattr(self.camera, name, value)  # before the start: a mode takes effect there
        for name in ("output", "depth_encoding", "qos", "frame_id"):
            check_setting(name, self._settings[name])
        self._make_publishers()
        self.node.add_on_set_parameters_callback(self._on_set)
        self.camera.start(self._settings["output"])
        self.node.create_timer(DIAGNOSTICS_PERIOD_S, self._publish_diagnostics)
        self.camera.add_sink(self._slot)
        self._publisher.start()
        self._thread.start()

    def close(self) -> None:
        """Ends the capture thread, closes the camera (which ends its sink), then ends the publishing thread."""
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()
        try:
            self.camera.close()
        finally:
            self._slot.close()
            if self._publisher.is_alive():
                self._publisher.join()

    def _end(self, error: Optional[str]) -> None:
        if not self._stop.is_set() and self._ended.acquire(blocking=False):
            self._on_end(error)

    def _make_publishers(self) -> None:
        topics = RAW_TOPICS if self._settings["output"] == "raw" else DEPTH_TOPICS
        types: Dict[str, Any] = {"camera_info": CameraInfo, "points": PointCloud2}
        qos = QOS[self._settings["qos"]]
        with self._lock:
            old, self._publishers = self._publishers, {
                key: self.node.create_publisher(types.get(key, Image), topic, qos) for key, topic in topics.items()
            }
        for publisher in old.values():
            self.node.destroy_publisher(publisher)

    # --- frames -------------------------------------------------------------------
    def _capture(self) -> None:
        """Drives the camera's reads; the camera hands each frame to the slot."""
        while not self._stop.is_set() and not self._slot.ended:
            try:
                # A recording's frames are all published: the next is read once the last is out.
                if self._recorded and not self._slot.wait_idle(READ_TIMEOUT_S):
                    continue
                with self._stream:
                    # A live camera's newest frame; a recording's every frame, in turn.
                    frame = (self.camera.read(READ_TIMEOUT_S, latest=not self._recorded)
                             if self.camera.running else None)
                    running = self.camera.running
                if frame is None and not running:
                    if self._slot.ended or self.camera.closed:
                        self._end("the camera was closed")
                        return
                    # A recording played to its end: done once its last frame is out.
                    while not self._slot.wait_idle(READ_TIMEOUT_S) and not self._stop.is_set():
                        pass
                    self._end(None)
                    return
            except Exception as error:  # a camera failure ends the node with its reason
                self._end(f"the camera stopped delivering frames: {error}")
                return

    def _publish_frames(self) -> None:
        while True:
            frame = self._slot.take()
            if frame is None:  # the camera closed
                self._end("the camera was closed")
                return
            try:
                self._publish(frame)
            except Exception as error:  # as a failing camera: the node ends with its reason
                self._end(f"publishing a frame failed: {error}")
                return

    def _stamp_ns(self, frame: Frame) -> int:
        recorded = self.camera.recorded_time_ns(frame) if self._recorded else None
        if recorded is not None:
            return recorded
        # On the ROS clock: now, less the time since the frame reached the queue.
        age_ns = time.monotonic_ns() - frame.received_ns
        return max(0, int(self.node.get_clock().now().nanoseconds) - age_ns)

    def _publish(self, frame: Frame) -> None:
        """Publishes the frame on every topic someone subscribes to; building a message nobody takes is skipped."""
        head = messages.header(self._stamp_ns(frame), self._settings["frame_id"])
        with self._lock:
            wanted = {key: p for key, p in self._publishers.items() if p.get_subscription_count() > 0}
            build = self._messages
            if frame.raw is not None and "raw" in wanted:
                wanted["raw"].publish(build.image(head, "raw", frame.raw))
            if frame.depth is not None and "depth" in self._publishers:
                if "depth" in wanted:
                    wanted["depth"].publish(build.depth(head, frame.depth, self._settings["depth_encoding"]))
                if frame.intrinsics is not None:
                    if "camera_info" in wanted:
                        wanted["camera_info"].publish(build.camera_info(head, frame.intrinsics))
                    if "points" in wanted and self._settings["publish_points"]:
                        cloud = build.point_cloud(head, frame)
                        if cloud is not None:
                            wanted["points"].publish(cloud)
                elif not self._lens_warned:
                    self._lens_warned = True
                    self.node.get_logger().warning(
                        "the camera's lens is unknown: no camera_info and no points are published "
                        "(a calibration file gives it: norvane.Intrinsics.load)")
                for plane in ("amplitude", "confidence"):
                    values = getattr(frame, plane)
                    if values is not None and plane in wanted:
                        wanted[plane].publish(build.image(head, plane, values))
        if self._last_index is not None and frame.index > self._last_index + 1:
            self._missed += frame.index - self._last_index - 1
        self._last_index = frame.index
        self._last_seen_ns = frame.received_ns if not self._recorded else time.monotonic_ns()
        self._published += 1

    # --- parameters -----------------------------------------------------------------
    def _on_set(self, parameters: List[Parameter[Any]]) -> SetParametersResult:
        """Applies each parameter at once; a refusal undoes the ones before it and says why."""
        applied: List[Parameter[Any]] = []
        for parameter in parameters:
            try:
                self._apply(parameter.name, parameter.value)
            except (CameraError, ValueError, TypeError) as error:
                for done in reversed(applied):
                    try:
                        self._apply(done.name, self._settings[done.name])
                    except (CameraError, ValueError, TypeError):
                        pass
                return SetParametersResult(successful=False, reason=str(error))
            applied.append(parameter)
        for parameter in applied:
            self._settings[parameter.name] = parameter.value
        return SetParametersResult(successful=True)

    def _apply(self, name: str, value: Any) -> None:
        if name == "mode":
            if value != self.camera.mode:
                self._restart(value)
        elif name in CONTROLS:
            setattr(self.camera, name, camera_value(name, value))
        else:
            check_setting(name, value)
            if name == "qos" and value != self._settings["qos"]:
                self._settings["qos"] = value
                self._make_publishers()

    def _restart(self, mode: str) -> None:
        """A new frequency mode takes effect at a start: the stream restarts, and on a refusal restarts as before."""
        with self._stream:
            before = self.camera.mode
            self.camera.stop()
            try:
                self.camera.mode = mode
                self.camera.start(self._settings["output"])
            except (CameraError, ValueError, TypeError):
                self.camera.mode = before
                self.camera.start(self._settings["output"])
                raise

    # --- diagnostics ------------------------------------------------------------------
    def _publish_diagnostics(self) -> None:
        now_ns = time.monotonic_ns()
        published = self._published
        fps = (published - self._published_at_tick) * 1e9 / max(1, now_ns - self._tick_ns)
        self._published_at_tick, self._tick_ns = published, now_ns
        seen = self._last_seen_ns
        age_ms = f"{(now_ns - seen) / 1e6:.1f}" if seen is not None else "none"
        info = self.camera.info
        level, message = (DiagnosticStatus.OK, "streaming") if fps > 0 else (DiagnosticStatus.WARN, "no frames")
        values = {"source": info.source, "device": f"{info.device} {info.depth_size[0]} x {info.depth_size[1]}",
                  "frames per second": f"{fps:.1f}", "frames published": str(published),
                  "frames missed": str(self._missed), "frame age ms": age_ms}
        status = DiagnosticStatus(level=level, name=f"{self.node.get_fully_qualified_name()}: camera", message=message,
                                  hardware_id=info.source,
                                  values=[KeyValue(key=k, value=v) for k, v in values.items()])
        self._diagnostics.publish(DiagnosticArray(header=messages.header(int(self.node.get_clock().now().nanoseconds), ""),
                                                  status=[status]))
