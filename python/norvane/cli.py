"""The norvane command: one module per subcommand under norvane.commands."""

import argparse
import importlib
import sys
from typing import List, NoReturn, Optional, Sequence

from .errors import CameraError

# Subcommands, each a module norvane.commands.NAME with register(subparsers).
COMMANDS: List[str] = [
    "info",
    "snapshot",
    "record",
    "view",
    "ros2",
]


class _Parser(argparse.ArgumentParser):
    """Usage errors as one line, like every other failure of the command."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"norvane: {message} (see: {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="norvane", description="Norvane time-of-flight depth cameras.")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND")
    subparsers.required = True
    for name in COMMANDS:
        importlib.import_module(f"norvane.commands.{name}").register(subparsers)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command; 0 on success, 1 for a camera failure, 2 for a usage error."""
    parser = build_parser()
    argv = list(sys.argv[1:] if argv is None else argv)
    ros_args: List[str] = []
    if argv[:1] == ["ros2"]:  # ROS's own arguments pass through to the node
        from .ros2.app import split_ros_args

        argv, ros_args = split_ros_args(argv)
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit:
        return exit.code if isinstance(exit.code, int) else 2
    if ros_args:
        args.ros_args = ros_args
    try:
        code: int = args.handler(args)
    except CameraError as error:
        print(f"norvane: {error}", file=sys.stderr)
        return 1
    except OSError as error:  # the output: a full disk, a folder taken away
        print(f"norvane: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("norvane: interrupted", file=sys.stderr)
        return 130
    return code


if __name__ == "__main__":
    sys.exit(main())
