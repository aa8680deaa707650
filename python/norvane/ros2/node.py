"""The camera node: publishes every frame it reads, its parameters drive the camera's controls.

A capture thread reads the newest frame (a recording's next) and publishes it; the executor's
thread answers parameter requests and publishes /diagnostics once a second.
Controls are set on the camera from the executor's thread while the capture
thread reads (the camera allows that); only a mode change, which restarts
the stream, waits for the read in progress.
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


class CameraNode:
    """A ROS 2 node (`node`) that publishes `camera`'s frames; start() starts the camera and the capture thread.

    on_end(error) is called from the capture thread when the stream ends:
    error None for a recording played to its end, else the failure's text.
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
        self._thread.start()

    def close(self) -> None:
        """Ends the capture thread, then closes the camera."""
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()
        self.camera.close()

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
        while not self._stop.is_set():
            try:
                with self._stream:
                    # A live camera's newest frame; a recording's every frame, in turn.
                    frame = (self.camera.read(READ_TIMEOUT_S, latest=not self._recorded)
                             if self.camera.running else None)
                    running = self.camera.running
                if frame is not None:
                    self._publish(frame)
                elif not running:  # a recording played to its end
                    self._on_end(None)
                    return
            except Exception as error:  # a camera failure ends the node with its reason
                self._on_end(f"the camera stopped delivering frames: {error}")
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
