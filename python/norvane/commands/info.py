"""norvane info: the cameras found and what each supports."""

import argparse
from typing import Any, List

import norvane

from ._common import add_source_arguments, open_source


def register(subparsers: "argparse._SubParsersAction[Any]") -> None:
    parser = subparsers.add_parser("info", help="list the cameras found and what each supports")
    add_source_arguments(parser)
    parser.set_defaults(handler=run)


def describe(cam: norvane.Camera) -> List[str]:
    info = cam.info
    kind = " (simulated kit)" if info.simulated else ""
    lines = [
        f"{info.source}: {info.connection.upper()} camera {info.index}{kind}",
        f"  device      {info.device}, sensor {info.sensor_size[0]} x {info.sensor_size[1]}, "
        f"depth {info.depth_size[0]} x {info.depth_size[1]}",
    ]
    k = cam.intrinsics
    if k is None:
        lines.append("  lens        unknown: set it from a calibration file or a stated field of view")
    else:
        lines.append(
            f"  lens        {k.model}, fx {k.fx:.2f} fy {k.fy:.2f} cx {k.cx:.2f} cy {k.cy:.2f} px "
            f"({k.horizontal_fov_deg:.1f} deg horizontal)"
        )
    lines.append("  controls")
    for name, control in cam.controls.items():
        if not control.applies:
            lines.append(f"    {name:<11} -  {control.note}")
            continue
        try:
            current = f"now {getattr(cam, name)!r}"
        except norvane.CameraError:
            current = "not readable"
        unit = f" {control.unit}" if control.unit else ""
        access = "" if control.writable else ", read-only"
        note = f"; {control.note}" if control.note else ""
        lines.append(f"    {name:<11} {control.values}{unit} ({current}{access}{note})")
    return lines


def run(args: argparse.Namespace) -> int:
    if args.source is not None or args.config is not None:
        with open_source(args) as cam:
            print("\n".join(describe(cam)))
        return 0
    found = 0
    failures: List[str] = []
    for source in norvane.find_cameras():
        try:
            with norvane.open(source) as cam:
                print("\n".join(describe(cam)))
                found += 1
        except norvane.CameraError as error:
            failures.append(str(error))
    if not found:
        raise norvane.CameraError("no camera found: " + "; ".join(failures), -1)
    return 0
