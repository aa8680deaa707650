"""norvane view: a live view of the camera in any browser on the network."""

import argparse
import asyncio
import signal
import sys
from typing import Any

from ._common import add_source_arguments, open_source

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8080


def _port(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}")
    return value


def _host_name(text: str) -> str:
    try:
        from norvane.viewer.app import allowed_host
    except ImportError:
        return text  # run() names the missing extra
    try:
        return allowed_host(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def register(subparsers: "argparse._SubParsersAction[Any]") -> None:
    parser = subparsers.add_parser(
        "view", help="serve a live view of the camera to a web browser",
        description="Serves depth, amplitude, confidence and a point cloud of the camera to a web browser, "
                    "with its controls and snapshots. Only this machine can connect unless --host says otherwise.")
    add_source_arguments(parser)
    parser.add_argument("--host", default=DEFAULT_HOST,
                        help="address to listen on (default %(default)s, this machine only; "
                             "0.0.0.0 lets every machine on the board's networks watch and change the controls)")
    parser.add_argument("--port", type=_port, default=DEFAULT_PORT, help="port (default %(default)s; 0: any free port)")
    parser.add_argument("--allowed-host", metavar="NAME", action="append", default=[], type=_host_name,
                        help="a further name browsers may reach this machine by (repeatable; "
                             "addresses, localhost and the host name are always answered)")
    parser.set_defaults(handler=run)


async def _serve(args: argparse.Namespace) -> int:
    from aiohttp import web

    from norvane.viewer import create_app

    host, port = args.host, args.port
    runner = web.AppRunner(create_app(open_camera=lambda: open_source(args), allowed_hosts=args.allowed_host),
                           handle_signals=False)
    await runner.setup()  # opens the camera
    try:
        try:
            await web.TCPSite(runner, host, port).start()
        except OSError as error:
            print(f"norvane: cannot listen on {host}:{port}: {error.strerror or error}", file=sys.stderr)
            return 1
        address, bound_port = runner.addresses[0][:2]
        if host in ("0.0.0.0", "::"):
            print(f"norvane: viewer on every network of this machine: open http://THIS-MACHINE:{bound_port}/ "
                  "(anyone who can reach it can watch and change the controls; Ctrl-C to stop)", flush=True)
        else:
            shown = f"[{address}]" if ":" in address else address
            print(f"norvane: viewer at http://{shown}:{bound_port}/ (Ctrl-C to stop)", flush=True)
        stop = asyncio.Event()
        asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
        await stop.wait()
        return 0
    finally:
        await runner.cleanup()  # closes every socket, then the camera


def run(args: argparse.Namespace) -> int:
    try:
        import aiohttp  # noqa: F401
    except ImportError:
        print("norvane: the viewer needs aiohttp: pip install 'NorvaneDepthCamera[view]'", file=sys.stderr)
        return 1
    try:
        return asyncio.run(_serve(args))
    except KeyboardInterrupt:
        return 0  # the server closed its sockets and the camera on the way out
