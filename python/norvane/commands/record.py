"""norvane record: a session to an MCAP file (a ROS 2 bag) that norvane.open replays."""

import argparse
import os
import signal
import sys
import threading
import time
from types import FrameType
from typing import Any, Dict, Optional

from ._common import Progress, add_source_arguments, open_source


def register(subparsers: "argparse._SubParsersAction[Any]") -> None:
    parser = subparsers.add_parser("record", help="record depth frames to an MCAP file (a ROS 2 bag)")
    add_source_arguments(parser)
    parser.add_argument("-o", "--output", metavar="FILE", required=True, help="the recording, e.g. session.mcap")
    parser.add_argument("--seconds", type=float, default=None, help="stop after this long (default: at Ctrl-C)")
    parser.add_argument("--raw", action="store_true", help="record raw frames instead of depth frames")
    parser.add_argument("--compression", choices=("zstd", "lz4", "none"), default="zstd",
                        help="chunk compression (default zstd)")
    parser.add_argument("--overwrite", action="store_true", help="replace an existing file")
    parser.set_defaults(handler=run)


class _Ended(KeyboardInterrupt):
    """A signal that ends the recording as Ctrl-C does."""

    def __init__(self, signum: int) -> None:
        self.signal_name = signal.Signals(signum).name
        super().__init__(self.signal_name)


# Ended as Ctrl-C ends it: the service manager's stop, a closed terminal.
_ENDING_SIGNALS = (signal.SIGTERM, signal.SIGHUP)


def _ending_signals_end_the_loop() -> Dict[int, Any]:
    """Makes them raise _Ended in the main thread; returns the old handlers.

    A signal the command was started with ignored stays ignored, as Python
    leaves SIGINT: under nohup a hang-up must not end the recording.
    """

    def end(signum: int, frame: Optional[FrameType]) -> None:
        raise _Ended(signum)

    if threading.current_thread() is not threading.main_thread():
        return {}  # only the main thread takes signals
    return {number: signal.signal(number, end) for number in _ENDING_SIGNALS
            if signal.getsignal(number) is not signal.SIG_IGN}


def run(args: argparse.Namespace) -> int:
    try:
        from .. import recording
    except ImportError as error:
        print(f"norvane: {error}", file=sys.stderr)
        return 1
    if args.seconds is not None and not args.seconds > 0:
        print("norvane: --seconds must be more than 0", file=sys.stderr)
        return 2
    # Refuse before the camera opens: an existing file, a missing or unwritable
    # folder, and the file the frames come from.
    try:
        recording.check_output(args.output, args.overwrite)
        for given in (args.source, args.config):
            if given is not None and os.path.exists(args.output) and os.path.exists(given) \
                    and os.path.samefile(given, args.output):
                raise recording.RecordingError(f"{args.output}: is the input {given}; record to another file")
    except recording.RecordingError as error:
        print(f"norvane: {error}", file=sys.stderr)
        return 2

    previous = _ending_signals_end_the_loop()
    try:
        return _record(args)
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def _record(args: argparse.Namespace) -> int:
    with open_source(args) as cam, Progress() as progress:
        progress.show(f"starting {cam.info.source}")
        cam.start("raw" if args.raw else "depth")
        rec = cam.record(args.output, compression=args.compression, overwrite=args.overwrite)
        ended = ""
        begin = time.monotonic()
        try:
            for frame in cam.frames(timeout=5.0):
                if rec.error is not None:  # a full disk ends the command now, not at --seconds
                    break
                progress.show(f"recording to {args.output}: {rec.written} frames, {rec.dropped} dropped,")
                if args.seconds is not None and time.monotonic() - begin >= args.seconds:
                    break
        except _Ended as signalled:  # finished as Ctrl-C finishes it
            ended = f" (stopped by {signalled.signal_name})"
        except KeyboardInterrupt:  # Ctrl-C ends the recording properly
            ended = " (interrupted)"
        finally:
            if threading.current_thread() is threading.main_thread():
                for number in _ENDING_SIGNALS:  # a second SIGTERM must not cut the file being finished
                    signal.signal(number, signal.SIG_IGN)
            summary = rec.stop()  # raises the writer's error: "norvane: ..." and exit 1
    size = os.path.getsize(args.output)
    print(f"wrote {args.output}: {summary.frames} frames, {size / 1e6:.1f} MB, {summary.dropped} dropped" + ended)
    return 0
