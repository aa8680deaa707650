"""The ROS 2 camera node: `norvane ros2 [SOURCE] [--ros-args ...]` or `python -m norvane.ros2`.

Publishes, under the node's name (default /norvane): depth/image_raw,
depth/camera_info, amplitude/image_raw, confidence/image_raw, points and,
for raw output, raw/image_raw; /diagnostics once a second. Its parameters
are the camera's controls and the node's settings (norvane.ros2.parameters).
rclpy and the message packages are imported only when the node runs.
"""

from .app import main, run

__all__ = ["main", "run"]
