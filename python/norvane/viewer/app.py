"""The viewer's web application: one page, its two assets, a WebSocket and snapshots."""

from __future__ import annotations

import asyncio
import dataclasses
import ipaddress
import json
import os
import pkgutil
import re
import socket
import tempfile
from typing import Any, AsyncIterator, Awaitable, Callable, Dict, FrozenSet, Iterable, Optional, Tuple, Union
from urllib.parse import urlsplit

from aiohttp import WSMsgType, hdrs, web

import norvane
from norvane.viewer import controls
from norvane.viewer.relay import Client, Relay

# The page and its assets: the only files the server ever reads.
ASSETS = {
    "/": ("index.html", "text/html"),
    "/viewer.js": ("viewer.js", "text/javascript"),
    "/viewer.css": ("viewer.css", "text/css"),
}
HEADERS = {
    "Content-Security-Policy": "default-src 'self'; img-src 'self' blob: data:; connect-src 'self'",
    "X-Content-Type-Options": "nosniff",
    "Cache-Control": "no-store",
}
# Enough for any control message; longer ones close the socket.
MAX_WS_MESSAGE = 64 * 1024
HEARTBEAT_S = 20.0
CLOSE_TIMEOUT_S = 1.0

Source = Union[str, "os.PathLike[str]", None]


@dataclasses.dataclass
class Viewer:
    """The state of one application: the camera, its relay and the open sockets."""

    open_camera: Callable[[], norvane.Camera]
    camera: Optional[norvane.Camera] = None
    relay: Optional[Relay] = None
    sockets: Dict[web.WebSocketResponse, web.Request] = dataclasses.field(default_factory=dict)
    control_lock: Optional[asyncio.Lock] = None

    def broadcast(self, payload: Dict[str, Any]) -> None:
        assert self.relay is not None
        text = json.dumps(payload)
        for client in self.relay.clients:
            client.say(text)


VIEWER = web.AppKey("viewer", Viewer)
NAMES = web.AppKey("names", FrozenSet[str])
_LABEL = r"[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?"
_HOST_NAME = re.compile(rf"{_LABEL}(?:\.{_LABEL})*\.?")
ASSETS_KEY = web.AppKey("assets", Dict[str, Tuple[bytes, str]])


def _hello(viewer: Viewer) -> Dict[str, Any]:
    camera = viewer.camera
    assert camera is not None
    lens = camera.intrinsics
    return {
        "type": "hello",
        "info": dataclasses.asdict(camera.info),
        # Without a lens the page shows no point cloud.
        "intrinsics": None if lens is None else {
            "fx": lens.fx, "fy": lens.fy, "cx": lens.cx, "cy": lens.cy, "width": lens.width, "height": lens.height},
        "controls": controls.describe(camera),
        "values": controls.values(camera),
        "failure": viewer.relay.failure if viewer.relay else None,
        "ended": viewer.relay.ended if viewer.relay else None,
    }


def machine_names() -> FrozenSet[str]:
    """The names this machine answers to: localhost and its host name, bare and under .local."""
    name = socket.gethostname().lower().rstrip(".")
    first = name.split(".")[0]
    return frozenset(n for n in ("localhost", name, first, f"{first}.local") if n and n != ".local")


def allowed_host(name: str) -> str:
    """`name` as the allow-list holds it (lower case, no trailing dot); ValueError if it is no host name."""
    if not isinstance(name, str) or not _HOST_NAME.fullmatch(name):
        raise ValueError(f"not a host name: {name!r} (give a name such as camera.lab, without scheme or port)")
    return name.lower().rstrip(".")


def _host_name(host: str) -> str:
    try:
        return (urlsplit("//" + host).hostname or "").rstrip(".")
    except ValueError:  # a malformed address such as "[::1"
        return ""


def _addressed_here(host: str, names: FrozenSet[str]) -> bool:
    """Whether a request's Host names this machine: one of `names`, or an address."""
    name = _host_name(host)
    if not name:
        return False
    try:
        ipaddress.ip_address(name)
        return True  # no other site can point an address here
    except ValueError:
        return name in names


@web.middleware
async def _known_names_only(request: web.Request,
                            handler: Callable[[web.Request], Awaitable[web.StreamResponse]]) -> web.StreamResponse:
    """Answers only requests addressed to this machine, on every address it listens on.

    A web site that points its own name at this machine (at 127.0.0.1, or at
    the board's address on the LAN) would otherwise have its pages read the
    camera and steer it from the browser of anyone who visits them.
    """
    # The header itself: without one, aiohttp would put this machine's own name in its place.
    host = request.headers.get(hdrs.HOST, "")
    if not _addressed_here(host, request.app[NAMES]):
        raise web.HTTPForbidden(text="this viewer answers only to requests addressed to this machine "
                                     "(norvane view --allowed-host NAME adds a name)")
    return await handler(request)


def _same_origin(request: web.Request) -> bool:
    """False for a socket opened by a page of another site (a browser always sends Origin)."""
    origin = request.headers.get("Origin")
    return origin is None or urlsplit(origin).netloc == request.host


async def _page(request: web.Request) -> web.Response:
    body, content_type = request.app[ASSETS_KEY][request.path]
    return web.Response(body=body, content_type=content_type, charset="utf-8", headers=HEADERS)


async def _socket(request: web.Request) -> web.WebSocketResponse:
    viewer = request.app[VIEWER]
    if not _same_origin(request):
        raise web.HTTPForbidden(text="cross-site socket refused")
    # No per-message compression: deflating every frame would cost the board more than sending it.
    ws = web.WebSocketResponse(max_msg_size=MAX_WS_MESSAGE, heartbeat=HEARTBEAT_S, compress=False)
    await ws.prepare(request)
    assert viewer.relay is not None
    client = viewer.relay.subscribe()
    viewer.sockets[ws] = request
    client.say(json.dumps(_hello(viewer)))
    sender = asyncio.create_task(client.send_forever(ws.send_str, ws.send_bytes))
    try:
        async for message in ws:
            if message.type == WSMsgType.TEXT:
                await _control(viewer, client, message.data)
            elif message.type == WSMsgType.BINARY:
                client.say(json.dumps({"type": "refused", "message": "binary messages are not accepted"}))
    finally:
        viewer.relay.unsubscribe(client)
        viewer.sockets.pop(ws, None)
        sender.cancel()
    return ws


async def _control(viewer: Viewer, client: Client, text: str) -> None:
    try:
        name, value = controls.parse(text)
        # One change at a time; the camera call may wait for the device.
        assert viewer.control_lock is not None
        async with viewer.control_lock:
            await asyncio.get_running_loop().run_in_executor(None, setattr, viewer.camera, name, value)
    except controls.Refused as refusal:
        client.say(json.dumps({"type": "refused", "message": str(refusal)}))
        return
    except (ValueError, TypeError, norvane.CameraError) as error:  # the camera's own refusal
        client.say(json.dumps({"type": "refused", "message": str(error)}))
        return
    assert viewer.camera is not None
    viewer.broadcast({"type": "controls", "values": controls.values(viewer.camera)})


async def _snapshot_ply(request: web.Request) -> web.Response:
    viewer = request.app[VIEWER]
    frame = viewer.relay.latest if viewer.relay else None
    if frame is None:
        raise web.HTTPServiceUnavailable(text="no frame yet")

    def write() -> bytes:
        points = frame.points()  # refused without a lens
        with tempfile.TemporaryDirectory(prefix="norvane-view-") as folder:
            path = os.path.join(folder, "snapshot.ply")
            norvane.save_ply(path, points)
            with open(path, "rb") as file:
                return file.read()

    try:
        body = await asyncio.get_running_loop().run_in_executor(None, write)
    except ValueError as error:
        raise web.HTTPConflict(text=str(error)) from None
    name = f"norvane-{frame.index}.ply"
    return web.Response(body=body, content_type="application/octet-stream",
                        headers={**HEADERS, "Content-Disposition": f'attachment; filename="{name}"'})


def _asset(name: str) -> bytes:
    # Through the package's loader, as Python 3.8 has it (importlib.resources.files came with 3.9).
    data = pkgutil.get_data("norvane.viewer", f"static/{name}")
    if data is None:
        raise FileNotFoundError(f"the viewer's {name} is missing from the norvane package")
    return data


def _load_assets() -> Dict[str, Tuple[bytes, str]]:
    return {path: (_asset(name), kind) for path, (name, kind) in ASSETS.items()}


async def _camera(app: web.Application) -> AsyncIterator[None]:
    viewer = app[VIEWER]
    loop = asyncio.get_running_loop()
    viewer.control_lock = asyncio.Lock()
    viewer.camera = await loop.run_in_executor(None, viewer.open_camera)
    try:
        await loop.run_in_executor(None, viewer.camera.start)
        viewer.relay = Relay(viewer.camera, loop)
        viewer.relay.on_end = lambda kind, text: viewer.broadcast({"type": kind, "message": text})
        viewer.relay.start()
        yield
    finally:
        if viewer.relay is not None:
            await loop.run_in_executor(None, viewer.relay.close)
        await loop.run_in_executor(None, viewer.camera.close)


async def _shutdown(app: web.Application) -> None:
    viewer = app[VIEWER]
    # The capture thread stops first, then every socket says goodbye.
    if viewer.relay is not None:
        await asyncio.get_running_loop().run_in_executor(None, viewer.relay.close)
    await asyncio.gather(*(_goodbye(ws, request) for ws, request in list(viewer.sockets.items())))


async def _goodbye(ws: web.WebSocketResponse, request: web.Request) -> None:
    """Closes a socket politely, or cuts it when the browser has stopped reading."""
    try:
        await asyncio.wait_for(ws.close(code=1001, message=b"server shutting down"), CLOSE_TIMEOUT_S)
    except asyncio.TimeoutError:
        if request.transport is not None:
            request.transport.abort()


def create_app(source: Source = None, *, config: Source = None,
               open_camera: Optional[Callable[[], norvane.Camera]] = None,
               allowed_hosts: Iterable[str] = ()) -> web.Application:
    """The viewer for the camera at `source` (as norvane.open takes it), opened at startup.

    Requests must name this machine in their Host header: by an address, by
    one of machine_names(), or by one of `allowed_hosts` (further names, such
    as a DNS name of the board). `open_camera` replaces the opening (tests
    hand in a camera of their own).
    """
    if open_camera is None:

        def open_camera() -> norvane.Camera:
            return norvane.open(source, config=config)

    app = web.Application(middlewares=[_known_names_only])
    app[VIEWER] = Viewer(open_camera=open_camera)
    if isinstance(allowed_hosts, str):
        raise TypeError("allowed_hosts must be a list of names, not one str")
    app[NAMES] = machine_names() | {allowed_host(name) for name in allowed_hosts}
    app[ASSETS_KEY] = _load_assets()
    for path in ASSETS:
        app.router.add_get(path, _page)
    app.router.add_get("/ws", _socket)
    app.router.add_get("/snapshot.ply", _snapshot_ply)
    app.cleanup_ctx.append(_camera)
    app.on_shutdown.append(_shutdown)
    return app
