"""What the subcommands share: the source arguments and a progress line."""

import argparse
import math
import sys
import time
from types import TracebackType
from typing import Optional, TextIO, Type

import norvane
from norvane.camera import camera_source


def _source(text: str) -> str:
    try:
        camera_source(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def seconds(text: str) -> float:
    """An argparse type: a time in seconds, more than 0 (inf: no limit)."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not value > 0:  # NaN too
        raise argparse.ArgumentTypeError(f"not a number of seconds above 0: {text!r}")
    return value


def add_source_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "source", nargs="?", type=_source,
        help="'csi:N', 'usb:N', a kit configuration file or a recording (default: the first camera found)"
    )
    parser.add_argument("--config", metavar="FILE", help="configuration file for a USB kit")


def open_source(args: argparse.Namespace) -> norvane.Camera:
    try:
        return norvane.open(args.source, config=args.config)
    except (ValueError, OSError) as error:
        raise norvane.CameraError(str(error), -1) from None


class Progress:
    """A status line on standard error, redrawn in place on a terminal and cleared at the end."""

    def __init__(self, stream: Optional[TextIO] = None) -> None:
        # Standard error as it is now, not as it was when this module was imported.
        self.stream = stream if stream is not None else sys.stderr
        self.tty = self.stream.isatty()
        self.begin = time.monotonic()
        self.shown = ""

    def show(self, text: str) -> None:
        line = f"{text} {time.monotonic() - self.begin:4.1f} s"
        if self.tty:
            self.stream.write("\r" + line.ljust(len(self.shown)))
            self.stream.flush()
        elif not self.shown:
            self.stream.write(text + "\n")
        self.shown = line

    def __enter__(self) -> "Progress":
        return self

    def __exit__(
        self, kind: Optional[Type[BaseException]], value: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        if self.tty and self.shown:
            self.stream.write("\r" + " " * len(self.shown) + "\r")
            self.stream.flush()
