"""What the subcommands share: the source arguments and a progress line."""

import argparse
import sys
import time
from types import TracebackType
from typing import Optional, TextIO, Type

import norvane


def add_source_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "source", nargs="?", help="'csi:N', 'usb:N', a kit configuration file or a recording (default: the first camera found)"
    )
    parser.add_argument("--config", metavar="FILE", help="configuration file for a USB kit")


def open_source(args: argparse.Namespace) -> norvane.Camera:
    try:
        return norvane.open(args.source, config=args.config)
    except (ValueError, OSError) as error:
        raise norvane.CameraError(str(error), -1) from None


class Progress:
    """A status line on standard error, redrawn in place on a terminal and cleared at the end."""

    def __init__(self, stream: TextIO = sys.stderr) -> None:
        self.stream = stream
        self.tty = stream.isatty()
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
