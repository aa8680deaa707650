"""norvane ros2: the camera as a ROS 2 node (norvane.ros2)."""

import argparse
from typing import Any


def register(subparsers: "argparse._SubParsersAction[Any]") -> None:
    from norvane.ros2.app import add_arguments

    parser = subparsers.add_parser(
        "ros2", help="publish the camera on ROS 2 topics (needs rclpy)",
        description="Publishes depth, amplitude, confidence, camera info and a point cloud on ROS 2 topics; "
                    "the controls are the node's parameters. Arguments after --ros-args go to ROS.")
    add_arguments(parser)
    parser.set_defaults(handler=run, ros_args=[])


def run(args: argparse.Namespace) -> int:
    from norvane.ros2.app import run as run_node

    return run_node(args.source, args.config, args.ros_args)
