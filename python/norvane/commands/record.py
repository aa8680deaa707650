"""norvane record: a session to an MCAP file (a ROS 2 bag) that norvane.open replays."""

import argparse
import os
import sys
import time
from typing import Any

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


def run(args: argparse.Namespace) -> int:
    try:
        from .. import recording
    except ImportError as error:
        print(f"norvane: {error}", file=sys.stderr)
        return 1
    if args.seconds is not None and not args.seconds > 0:
        print("norvane: --seconds must be more than 0", file=sys.stderr)
        return 2
    # Refuse before the camera opens: an existing file, a missing or unwritable folder.
    try:
        recording._check_path(args.output, args.overwrite)
    except recording.RecordingError as error:
        print(f"norvane: {error}", file=sys.stderr)
        return 2

    with open_source(args) as cam, Progress() as progress:
        progress.show(f"starting {cam.info.source}")
        cam.start("raw" if args.raw else "depth")
        rec = cam.record(args.output, compression=args.compression, overwrite=args.overwrite)
        interrupted = False
        begin = time.monotonic()
        try:
            for frame in cam.frames(timeout=5.0):
                progress.show(f"recording to {args.output}: {rec.frames} frames, {rec.dropped} dropped,")
                if args.seconds is not None and time.monotonic() - begin >= args.seconds:
                    break
        except KeyboardInterrupt:  # Ctrl-C ends the recording properly
            interrupted = True
        finally:
            summary = rec.stop()
    size = os.path.getsize(args.output)
    print(f"wrote {args.output}: {summary.frames} frames, {size / 1e6:.1f} MB, {summary.dropped} dropped"
          + (" (interrupted)" if interrupted else ""))
    return 0
