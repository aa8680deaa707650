"""CPU time per frame of the ROS 2 node against the camera's own, and the node's latency.

The kit at 30 captures per second with shot noise. The node runs in a child
process with every topic subscribed (points included) by this process; the
child's CPU time (every thread) is read from /proc over the window in which
this process received the frames:

  ros2_camera_cpu_ms_per_frame   a bare loop of Camera.read(latest=True) (bench/viewer_cpu.py's)
  ros2_node_cpu_ms_per_frame     the node publishing every topic
  ros2_node_over_camera          the ratio of the two (target: at most 2)
  ros2_node_depth_only_...       the same with only ~/depth/image_raw subscribed
  ros2_publish_floor_...         a process that only publishes the same five messages, built once,
                                 at 30 per second: what rclpy and the middleware cost on their own
  ros2_node_frames_per_second    depth images received per second (every topic subscribed)
  ros2_latency_median_ms         frame in the camera's queue -> depth image callback here (header stamp
                                 against this process's ROS clock); target: within one frame period
  ros2_latency_p90_ms            the 90th percentile of the same
  ros2_points_per_frame          points in a cloud (an organized cloud: one per pixel)

ROS 2 discovery multicasts on every interface: the script runs itself in a
network namespace of its own with only the loopback up.

Usage: ros2_node.py [SECONDS]
       ros2_node.py --publish-only KIT_CONFIG   (the floor's publisher, run by the script)
"""

from __future__ import annotations

import os
import socket
import subprocess
import sys
import tempfile
import time
from typing import Any, Dict, List, Sequence

import viewer_cpu

FRAME_PERIOD_MS = 1000.0 / 30
DISCOVERY_S = 15.0


def isolate() -> None:
    """Runs this script again in a network namespace with only the loopback, unless it is in one."""
    if [name for _, name in socket.if_nameindex()] == ["lo"]:
        return
    os.environ["ROS_AUTOMATIC_DISCOVERY_RANGE"] = "LOCALHOST"
    os.execvp("unshare", ["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$@"', "sh",
                          sys.executable, *sys.argv])


def cpu_s(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def publish_only(config: str) -> None:
    """Publishes one kit frame's five messages, built once, on the node's topics at 30 per second."""
    import rclpy
    from sensor_msgs.msg import CameraInfo, Image, PointCloud2

    import norvane
    from norvane.ros2 import messages
    from norvane.ros2.node import QOS

    with norvane.open(config) as camera:
        camera.start()
        frame = camera.read(5.0)
    assert frame is not None and frame.intrinsics is not None and frame.depth is not None
    rclpy.init()
    ros = rclpy.create_node("norvane")
    build = messages.Messages()
    head = messages.header(0, "norvane_depth_optical_frame")
    built = [(Image, "depth/image_raw", build.depth(head, frame.depth, "32FC1")),
             (CameraInfo, "depth/camera_info", build.camera_info(head, frame.intrinsics)),
             (Image, "amplitude/image_raw", build.image(head, "amplitude", frame.amplitude)),
             (Image, "confidence/image_raw", build.image(head, "confidence", frame.confidence)),
             (PointCloud2, "points", build.point_cloud(head, frame))]
    publishers = [(ros.create_publisher(kind, f"~/{topic}", QOS["default"]), message)
                  for kind, topic, message in built]
    period = 1.0 / 30
    due = time.monotonic()
    try:
        while rclpy.ok():
            stamp = messages.header(ros.get_clock().now().nanoseconds, head.frame_id)
            for publisher, message in publishers:
                message.header = stamp
                publisher.publish(message)
            due += period
            time.sleep(max(0.0, due - time.monotonic()))
    except Exception:  # SIGTERM shuts the context down, a publish may see it first
        if rclpy.ok():
            raise


def measure_node(config: str, seconds: float, everything: bool = True,
                 command: Sequence[str] = ("-m", "norvane.ros2")) -> Dict[str, float]:
    import rclpy
    from sensor_msgs.msg import CameraInfo, Image, PointCloud2

    node = subprocess.Popen([sys.executable, *command, config])
    rclpy.init()
    ros = rclpy.create_node("norvane_bench")
    latencies: List[float] = []
    counts = {"depth": 0, "points": 0}
    points: List[int] = []

    def on_depth(message: Any) -> None:
        stamp = message.header.stamp.sec * 1_000_000_000 + message.header.stamp.nanosec
        latencies.append((ros.get_clock().now().nanoseconds - stamp) / 1e6)
        counts["depth"] += 1

    def on_points(message: Any) -> None:
        points.append(message.width * message.height)

    topics = [(Image, "depth/image_raw", on_depth), (CameraInfo, "depth/camera_info", None),
              (Image, "amplitude/image_raw", None), (Image, "confidence/image_raw", None),
              (PointCloud2, "points", on_points)]
    subscriptions = [ros.create_subscription(kind, f"/norvane/{topic}", callback or (lambda _: None), 10)
                     for kind, topic, callback in (topics if everything else topics[:1])]

    def spin(until: float) -> None:
        while time.monotonic() < until:
            rclpy.spin_once(ros, timeout_sec=0.05)

    try:
        deadline = time.monotonic() + DISCOVERY_S
        while not (counts["depth"] and (points or not everything)) and time.monotonic() < deadline:
            rclpy.spin_once(ros, timeout_sec=0.05)
        if not counts["depth"]:
            raise SystemExit("ros2_node: no depth image from the node")
        spin(time.monotonic() + viewer_cpu.WARM_UP_S)
        frames0, cpu0, latencies[:] = counts["depth"], cpu_s(node.pid), []
        spin(time.monotonic() + seconds)
        frames, cpu = counts["depth"] - frames0, cpu_s(node.pid) - cpu0
    finally:
        node.terminate()
        node.wait()
        for subscription in subscriptions:
            ros.destroy_subscription(subscription)
        ros.destroy_node()
        rclpy.shutdown()
    latencies.sort()
    return {"cpu_ms": cpu * 1e3 / max(frames, 1), "fps": frames / seconds,
            "median_ms": latencies[len(latencies) // 2], "p90_ms": latencies[int(len(latencies) * 0.9)],
            "points": float(points[-1]) if points else 0.0}


def main() -> None:
    if sys.argv[1:2] == ["--publish-only"]:
        publish_only(sys.argv[2])
        return
    isolate()
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 5.0
    with tempfile.TemporaryDirectory() as folder:
        config = os.path.join(folder, "kit.conf")
        with open(config, "w") as file:
            file.write(viewer_cpu.KIT)
        camera, _ = viewer_cpu.measure("camera", config, seconds)
        node = measure_node(config, seconds)
        depth_only = measure_node(config, seconds, everything=False)
        floor = measure_node(config, seconds, command=(os.path.abspath(__file__), "--publish-only"))
    print(f"ros2_camera_cpu_ms_per_frame {camera:.3f} ms")
    print(f"ros2_node_cpu_ms_per_frame {node['cpu_ms']:.3f} ms")
    print(f"ros2_node_over_camera {node['cpu_ms'] / camera:.2f} x")
    print(f"ros2_node_depth_only_cpu_ms_per_frame {depth_only['cpu_ms']:.3f} ms")
    print(f"ros2_node_depth_only_over_camera {depth_only['cpu_ms'] / camera:.2f} x")
    print(f"ros2_publish_floor_cpu_ms_per_frame {floor['cpu_ms']:.3f} ms")
    print(f"ros2_publish_floor_over_camera {floor['cpu_ms'] / camera:.2f} x")
    print(f"ros2_node_frames_per_second {node['fps']:.1f} fps")
    print(f"ros2_latency_median_ms {node['median_ms']:.2f} ms")
    print(f"ros2_latency_p90_ms {node['p90_ms']:.2f} ms")
    print(f"ros2_latency_median_over_frame_period {node['median_ms'] / FRAME_PERIOD_MS:.2f} x")
    print(f"ros2_points_per_frame {node['points']:.0f}")


if __name__ == "__main__":
    main()
