"""The web viewer, in-process through aiohttp's test client and once in headless Chromium."""

import asyncio
import base64
import io
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any, Iterator, Tuple

import numpy as np
import pytest

# The view extra; an interpreter without it (the aarch64 test root) skips these.
aiohttp = pytest.importorskip("aiohttp")
from aiohttp import WSMsgType, web
from aiohttp.test_utils import TestClient, TestServer
from plyfile import PlyData

import norvane
from conftest import write_kit
from norvane import filters
from norvane.filters import Reason
from norvane.viewer import create_app, protocol
from norvane.viewer.app import VIEWER

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WAIT_S = 10.0


@pytest.fixture(scope="module")
def view_kit(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_kit(tmp_path_factory.mktemp("view") / "kit.conf", fps=30)


def turbo_reversed(depth_mm: np.ndarray, range_mm: float) -> np.ndarray:
    """The page's colour map: near red, far blue, black without a distance (RGB bytes)."""
    x = np.clip(1.0 - depth_mm.astype(np.float64) / range_mm, 0.0, 1.0)
    powers = np.stack([x ** i for i in range(6)], axis=-1)
    coefficients = np.array([
        [0.13572138, 4.61539260, -42.66032258, 132.13108234, -152.94239396, 59.28637943],
        [0.09140261, 2.19418839, 4.84296658, -14.18503333, 4.27729857, 2.82956604],
        [0.10667330, 12.64194608, -60.58204836, 110.36276771, -89.90310912, 27.34824973]])
    rgb = np.floor(255.0 * np.clip(powers @ coefficients.T, 0.0, 1.0) + 0.5)
    rgb[depth_mm == 0] = 0
    return rgb.astype(np.int16)


def ball_distance(u: int, v: int, lens: Any) -> float:
    """Distance along pixel (u, v)'s ray to the room's ball (radius 350 mm at (-500, 300, 1400))."""
    ray = np.array([(u - lens.cx) / lens.fx, (v - lens.cy) / lens.fy, 1.0])
    ray /= np.linalg.norm(ray)
    centre = np.array([-500.0, 300.0, 1400.0])
    along = ray @ centre
    return float(along - np.sqrt(along ** 2 - centre @ centre + 350.0 ** 2))


async def raw_get(port: int, target: str, host: str = "127.0.0.1", address: str = "127.0.0.1") -> Tuple[int, bytes]:
    """A request with the target and Host exactly as written (a client library would tidy them up)."""
    reader, writer = await asyncio.open_connection(address, port)
    header = f"Host: {host}\r\n" if host else ""
    writer.write(f"GET {target} HTTP/1.1\r\n{header}Connection: close\r\n\r\n".encode())
    data = await reader.read()
    writer.close()
    return int(data.split()[1]), data


def stalled_socket(port: int) -> socket.socket:
    """A WebSocket client that completes the handshake and then never reads."""
    s = socket.create_connection(("127.0.0.1", port))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.sendall(f"GET /ws HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n".encode())
    status = b""
    while not status.endswith(b"\r\n"):
        status += s.recv(1)
    assert status.startswith(b"HTTP/1.1 101 "), status
    return s


async def next_text(ws: Any) -> Any:
    while True:
        message = await ws.receive(timeout=WAIT_S)
        if message.type == WSMsgType.TEXT:
            return json.loads(message.data)
        assert message.type == WSMsgType.BINARY, message


async def next_frame(ws: Any) -> Any:
    while True:
        message = await ws.receive(timeout=WAIT_S)
        if message.type == WSMsgType.BINARY:
            return protocol.decode(message.data)
        assert message.type == WSMsgType.TEXT, message


def test_message_packs_odd_values_safely() -> None:
    odd = np.array([[np.nan, np.inf, -np.inf, -3.0, 0.4, 2.5, 65534.6, 1e9]], np.float32)
    fraction = np.array([[0.0, 1.0, 0.5, np.nan, 0.25, 1.0, 0.0, 1.0]], np.float32)  # a VGA confidence
    frame = norvane.Frame(timestamp_ms=7, index=2**32 + 5, received_ns=0, depth=odd, amplitude=odd,
                          confidence=fraction, raw=None, intrinsics=None)
    message = protocol.decode(protocol.with_age(protocol.encode(frame), received_ns=0, now_ns=2_500_000))
    assert (message["width"], message["height"], message["index"], message["age_ms"]) == (8, 1, 5, 2.5)
    for plane in ("depth", "amplitude"):  # no light, no distance: 0; beyond 16 bits: the top
        assert message[plane].tolist() == [[0, 65535, 0, 0, 0, 2, 65535, 65535]]
    assert (message["confidence"] * message["confidence_scale"]).round(4).tolist() == [
        [0.0, 1.0, 0.5, 0.0, 0.25, 1.0, 0.0, 1.0]]


def test_removed_pixels_travel_as_their_own_depth_value() -> None:
    depth = np.array([[0.0, 1200.0, 0.0, 0.0]], np.float32)
    invalid = np.array([[Reason.NO_DEPTH, Reason.VALID, Reason.FLYING_PIXEL, Reason.TEMPORAL]], np.uint8)
    frame = norvane.Frame(timestamp_ms=0, index=0, received_ns=0, depth=depth, amplitude=depth, confidence=depth,
                          invalid=invalid)
    assert protocol.decode(protocol.encode(frame))["depth"].tolist() == [[0, 1200, protocol.REMOVED, protocol.REMOVED]]


BAD_CONTROLS = [
    ("not json", "not a JSON message"),
    ("[1, 2]", "expected"),
    ('{"type": "set", "value": 1}', "unknown control"),
    ('{"type": "set", "name": "exposure", "value": 1}', "unknown control"),
    ('{"type": "set", "name": "range_mm"}', "no value"),
    ('{"type": "set", "name": "range_mm", "value": "4000"}', "whole number"),
    ('{"type": "set", "name": "range_mm", "value": true}', "whole number"),
    ('{"type": "set", "name": "range_mm", "value": 2500}', "range_mm"),
    ('{"type": "set", "name": "frame_rate", "value": NaN}', "whole number"),
    ('{"type": "set", "name": "frame_rate", "value": -5}', "frame_rate"),
    ('{"type": "set", "name": "skip", "value": [1]}', "pair"),
    ('{"type": "set", "name": "skip", "value": [1, 2.5]}', "whole number"),
    ('{"type": "set", "name": "filters", "value": "sharp"}', "filters must be one of off, default"),
    ('{"type": "set", "name": "range_mm", "value": "' + "9" * 2000 + '"}', "longer than"),
]


def test_socket_streams_frames_and_refuses_bad_controls(view_kit: Path) -> None:
    async def body() -> None:
        app = create_app(config=view_kit)
        async with TestClient(TestServer(app, host="127.0.0.1")) as client:
            camera = app[VIEWER].camera
            assert camera.sinks == (app[VIEWER].relay,)  # frames reach the relay as a sink of the camera
            first, second = await client.ws_connect("/ws"), await client.ws_connect("/ws")
            hello = await next_text(first)
            assert hello["intrinsics"]["width"] == 240 and hello["values"]["range_mm"] == 4000
            for ws in (first, second):
                frame = await next_frame(ws)
                expected = np.rint(app[VIEWER].relay.latest.depth)  # noise-free: every frame alike
                np.testing.assert_array_equal(frame["depth"], expected)
                assert frame["depth"][90, 120] == 3000 and frame["age_ms"] >= 0
            for text, reason in BAD_CONTROLS:
                await first.send_str(text)
                reply = await next_text(first)
                assert reply["type"] == "refused" and reason in reply["message"], (text, reply)
            await first.send_bytes(b"\x00" * 8)
            assert "binary" in (await next_text(first))["message"]
            await first.send_str('{"type": "set", "name": "range_mm", "value": 2000}')
            for ws in (first, second):  # every page hears of the change
                assert (await next_text(ws)) == {"type": "controls", "values": {
                    "range_mm": 2000, "frame_rate": None, "skip": [0, 1], "filters": "off"}}  # no kit frame rate
            assert camera.range_mm == 2000
            assert hello["controls"]["filters"]["presets"] == list(filters.PRESETS)
            await first.send_str('{"type": "set", "name": "filters", "value": "default"}')
            assert (await next_text(second))["values"]["filters"] == "default"
            assert camera.filters is filters.PRESETS["default"]
            await next_frame(second)  # still streaming
            snapshot = await client.get("/snapshot.ply")
            cloud = PlyData.read(io.BytesIO(await snapshot.read()))["vertex"]
            assert cloud.count == len(app[VIEWER].relay.latest.points()) > 200 * 150
            refused = await client.get("/ws", headers={"Origin": "http://elsewhere.example", "Upgrade": "websocket",
                                                        "Connection": "Upgrade", "Sec-WebSocket-Version": "13",
                                                        "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ=="})
            assert refused.status == 403
    asyncio.run(body())


def test_only_the_page_assets_are_served(view_kit: Path) -> None:
    async def body() -> None:
        async with TestClient(TestServer(create_app(config=view_kit), host="127.0.0.1")) as client:
            port = client.server.port
            for target in ("/", "/viewer.js", "/viewer.css"):
                status, data = await raw_get(port, target)
                assert status == 200 and b"Content-Security-Policy" in data, target
            for target in ("/../../../../etc/passwd", "/%2e%2e/%2e%2e/%2e%2e/etc/passwd", "/..%2f..%2f..%2fetc%2fpasswd",
                           "//etc/passwd", "/viewer.js/../../../etc/passwd", "/static/viewer.js", "/app.py",
                           "/norvane/viewer/app.py", "/viewer.js%00", "/viewer.js/", "/%2fetc%2fpasswd",
                           "/..\\..\\etc\\passwd", "/snapshot.ply/../../etc/passwd", "http://127.0.0.1/../etc/passwd"):
                status, data = await raw_get(port, target)
                assert status in (400, 404) and b"root:" not in data and b"import" not in data, target
    asyncio.run(body())


def lan_address() -> "str | None":
    """This machine's address on its default route, if it has one (no packet is sent)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.connect(("192.0.2.1", 9))
        except OSError:
            return None
        address = probe.getsockname()[0]
    return None if address.startswith("127.") else address


def test_only_requests_addressed_to_this_machine_are_answered(view_kit: Path) -> None:
    # A name another site points at this machine, on loopback or on the LAN, gets 403.
    lan = lan_address()
    name = socket.gethostname()
    cases = [("127.0.0.1", "127.0.0.1", host, expected) for host, expected in (
        ("rebound.example:80", 403), ("localhost:1", 200), ("[::1]", 200), ("[::1", 403))]
    if lan is not None:
        cases += [("0.0.0.0", lan, host, expected) for host, expected in (
            ("evil.example", 403), ("evil.example:8080", 403), (f"{lan}:8080", 200), (name, 200),
            (f"{name.split('.')[0]}.local:8080", 200), ("camera.lab", 200), ("CAMERA.Lab.:80", 200),
            (f"{name}.evil.example", 403))]

    async def body() -> None:
        for bind in sorted({case[0] for case in cases}):
            app = create_app(config=view_kit, allowed_hosts=["camera.lab"])
            async with TestClient(TestServer(app, host=bind)) as client:
                for _, address, host, expected in (case for case in cases if case[0] == bind):
                    assert (await raw_get(client.server.port, "/", host, address))[0] == expected, (bind, host)
    asyncio.run(body())
    for bad in ("", "http://camera.lab/", "camera.lab:80", "-camera", "a b"):
        with pytest.raises(ValueError, match="not a host name"):
            create_app(config=view_kit, allowed_hosts=[bad])


def test_a_replay_ends_on_the_page_with_ages_from_its_hand_out(view_kit: Path, tmp_path: Path) -> None:
    pytest.importorskip("mcap_ros2")
    path = tmp_path / "short.mcap"
    with norvane.open(view_kit) as cam:
        cam.start()
        with cam.record(path):
            recorded = [frame.index for _, frame in zip(range(20), cam.frames(timeout=5.0))]
    recorded_by = time.monotonic()
    time.sleep(1.0)  # the recorded host times are now at least a second old

    async def body() -> None:
        app = create_app(open_camera=lambda: norvane.open(path, realtime=False))
        async with TestClient(TestServer(app, host="127.0.0.1")) as client:
            ws = await client.ws_connect("/ws")
            assert (await next_text(ws))["type"] == "hello"
            ages = []
            while (message := await ws.receive(timeout=WAIT_S)).type == WSMsgType.BINARY:
                ages.append(protocol.decode(message.data)["age_ms"])
            assert json.loads(message.data) == {"type": "ended", "message": f"the recording ended: {path}"}
            old = (time.monotonic() - recorded_by) * 1000
            assert ages and max(ages) < old / 2, (ages, old)
            # The capture thread ends rather than asking the finished replay again and again.
            for _ in range(int(WAIT_S / 0.05)):
                if not [t for t in threading.enumerate() if t.name == "norvane-viewer-capture"]:
                    break
                await asyncio.sleep(0.05)
            else:
                raise AssertionError("the capture thread still runs after the end of the recording")
            assert app[VIEWER].relay.latest.index == recorded[-1]
            late = await client.ws_connect("/ws")
            assert (await next_text(late))["ended"] == f"the recording ended: {path}"
    asyncio.run(body())


def test_view_command_serves_and_stops_cleanly(view_kit: Path, tmp_path: Path) -> None:
    for argv, code, said in ((["--port", "70000"], 2, "not a port number"),
                             ([str(tmp_path / "missing.conf")], 1, "norvane: ")):
        done = subprocess.run([sys.executable, "-m", "norvane.cli", "view", *argv], capture_output=True, text=True,
                              timeout=60)
        assert done.returncode == code and said in done.stderr, done
    server = subprocess.Popen([sys.executable, "-m", "norvane.cli", "view", str(view_kit), "--port", "0"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert server.stdout is not None
        line = server.stdout.readline()
        assert line.startswith("norvane: viewer at http://127.0.0.1:"), line
        url = line.split()[3]
        staller = stalled_socket(int(url.rsplit(":", 1)[1].strip("/")))  # must not hold up the shutdown

        async def watch_until_shutdown() -> Any:
            async with aiohttp.ClientSession() as session:
                async with session.ws_connect(url + "ws") as ws:
                    for _ in range(45):  # 1.5 s of frames: the stalled socket's buffers fill
                        await next_frame(ws)
                    server.send_signal(signal.SIGTERM)  # the page is told, then the camera closes
                    while (message := await ws.receive(timeout=WAIT_S)).type == WSMsgType.BINARY:
                        pass
                    return message.type, ws.close_code

        assert asyncio.run(watch_until_shutdown()) == (WSMsgType.CLOSE, 1001)
        assert server.wait(WAIT_S) == 0, server.stderr.read() if server.stderr else ""
        staller.close()
    finally:
        server.kill()
        server.wait()


class ServerThread:
    """The viewer served on its own thread and loop, for a browser to reach."""

    def __init__(self, app: web.Application) -> None:
        self.app = app
        self.loop = asyncio.new_event_loop()
        self.runner = web.AppRunner(app)
        self.started = threading.Event()
        self.thread = threading.Thread(target=self._main, daemon=True)

    def _main(self) -> None:
        asyncio.set_event_loop(self.loop)
        self.loop.run_until_complete(self.runner.setup())
        self.loop.run_until_complete(web.TCPSite(self.runner, "127.0.0.1", 0).start())
        self.started.set()
        self.loop.run_forever()
        self.loop.run_until_complete(self.runner.cleanup())

    def __enter__(self) -> str:
        self.thread.start()
        assert self.started.wait(WAIT_S)
        return f"http://127.0.0.1:{self.runner.addresses[0][1]}/"

    def __exit__(self, *exc: object) -> None:
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(WAIT_S)


@pytest.fixture(scope="module")
def browser() -> Iterator[Any]:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1500,1100",
                     "--enable-unsafe-swiftshader", "--use-angle=swiftshader"):
        options.add_argument(argument)
    # The browser is not ours to instrument: no sanitizer runtime preloaded into it.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER, env=env), options=options)
    yield driver
    driver.quit()


def wait_for(condition: Any, what: str) -> Any:
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError(f"timed out waiting for {what}")


FRAMES = "return window.norvaneViewer.frames"
CANVAS = """const c = document.getElementById('depth'), d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
let s = ''; for (let i = 0; i < d.length; i += 8192) s += String.fromCharCode.apply(null, d.subarray(i, i + 8192));
return [c.width, c.height, btoa(s)];"""


def test_page_in_headless_chromium(view_kit: Path, browser: Any) -> None:
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By

    app = create_app(config=view_kit)
    with ServerThread(app) as url:
        viewer = app[VIEWER]
        browser.get(url)
        wait_for(lambda: browser.execute_script("return window.norvaneViewer.drawn"), "the first frame drawn")
        depth = np.rint(viewer.relay.latest.depth)

        # The depth canvas: every pixel the colour map's colour of its distance, within one unit.
        width, height, pixels = browser.execute_script(CANVAS)
        rgba = np.frombuffer(base64.b64decode(pixels), np.uint8).reshape(height, width, 4)
        difference = np.abs(rgba[..., :3].astype(np.int16) - turbo_reversed(depth, 4000))
        assert difference.max() <= 1, np.argwhere(difference > 1)[:5]

        # The readout under the pointer: a pixel on the ball (its distance known from the scene), one on
        # the back wall.
        assert abs(depth[130, 60] - ball_distance(60, 130, viewer.camera.intrinsics)) <= 1
        canvas = browser.find_element(By.ID, "depth")
        scale = canvas.size["width"] / width
        for u, v in ((60, 130), (120, 60)):
            ActionChains(browser).move_to_element_with_offset(
                canvas, int((u + 0.5) * scale - canvas.size["width"] / 2),
                int((v + 0.5) * scale - canvas.size["height"] / 2)).perform()
            expected = f"({u}, {v}) {int(depth[v, u])} mm"
            wait_for(lambda: browser.find_element(By.ID, "pointer").text == expected, expected)
        assert browser.find_element(By.ID, "centre").text == "(120, 90) 3000 mm"

        # Controls: a refused value is shown; an accepted one reaches the camera and the scale.
        def apply(value: str) -> None:
            field = browser.find_element(By.CSS_SELECTOR, 'form[data-control="range_mm"] input[name="value"]')
            field.clear()
            field.send_keys(value)
            browser.find_element(By.CSS_SELECTOR, 'form[data-control="range_mm"] button').click()

        apply("1234")
        wait_for(lambda: "refused" in browser.find_element(By.ID, "message").text, "the refusal on the page")
        apply("2000")
        wait_for(lambda: viewer.camera.range_mm == 2000, "the range change at the camera")
        wait_for(lambda: browser.find_element(By.ID, "scale-far").text == "2000 mm", "the new scale")

        # A second page; both update, and a client that never reads slows neither.
        first = browser.current_window_handle
        browser.switch_to.new_window("window")
        browser.get(url)
        second = browser.current_window_handle

        def rates() -> list:
            before = {}
            for handle in (first, second):
                browser.switch_to.window(handle)
                before[handle] = browser.execute_script(FRAMES)
            time.sleep(2.0)
            out = []
            for handle in (first, second):
                browser.switch_to.window(handle)
                out.append((browser.execute_script(FRAMES) - before[handle]) / 2.0)
            return out

        alone = rates()
        assert min(alone) > 5, alone
        stalled = [stalled_socket(int(url.rsplit(":", 1)[1].strip("/"))) for _ in range(2)]
        try:
            time.sleep(1.0)  # long enough for the stalled sockets' buffers to fill
            watched = rates()
            slots = [c for c in viewer.relay.clients]
            assert sum(c.skipped > 10 for c in slots) >= 2, [(c.sent, c.skipped) for c in slots]
        finally:
            for s in stalled:
                s.close()
        assert min(watched) >= 0.7 * min(alone), (alone, watched)
