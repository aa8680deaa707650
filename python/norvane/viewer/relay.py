"""One capture thread shared by every browser watching the camera.

The thread reads the newest frame; the relay, a sink of the camera, packs
it once and offers it to every client's slot. A slot holds one frame: a client whose socket is slow finds
its unsent frame replaced by a newer one (counted as skipped), so it never
holds back the camera or the other clients.
"""

from __future__ import annotations

import asyncio
import threading
import time
from collections import deque
from typing import Any, Awaitable, Callable, Deque, Optional, Set, Tuple

import norvane

from norvane.viewer import protocol

READ_TIMEOUT_S = 0.2
MAX_WAITING_TEXTS = 32


class Client:
    """What one browser still has to be sent: the newest frame and any replies."""

    def __init__(self) -> None:
        self.frame: Optional[Tuple[bytearray, int]] = None
        # Replies wait here while the socket is busy; a client that sends
        # without reading loses the oldest rather than growing the server.
        self.texts: Deque[str] = deque(maxlen=MAX_WAITING_TEXTS)
        self.wake = asyncio.Event()
        self.sent = 0
        self.skipped = 0

    def offer(self, message: bytearray, since_ns: int) -> None:
        """The newest frame, aged from `since_ns` (the host's monotonic clock)."""
        if self.frame is not None:
            self.skipped += 1
        self.frame = (message, since_ns)
        self.wake.set()

    def say(self, text: str) -> None:
        self.texts.append(text)
        self.wake.set()

    async def send_forever(self, send_text: Callable[[str], Awaitable[None]],
                           send_bytes: Callable[[bytes], Awaitable[None]]) -> None:
        """Sends replies first, then the newest frame; one send at a time. Ends when the browser goes."""
        try:
            await self._send(send_text, send_bytes)
        except ConnectionError:
            pass

    async def _send(self, send_text: Callable[[str], Awaitable[None]],
                    send_bytes: Callable[[bytes], Awaitable[None]]) -> None:
        while True:
            await self.wake.wait()
            self.wake.clear()
            while self.texts:
                await send_text(self.texts.popleft())
            if self.frame is not None:
                message, since_ns = self.frame
                self.frame = None
                await send_bytes(protocol.with_age(message, since_ns))
                self.sent += 1


class Relay:
    """Hands every frame `camera` delivers to every client: a frame sink of the camera.

    A thread of its own drives the camera (it reads the newest frame); the
    camera hands what it delivers to put(), which packs the frame once and
    offers it to the clients on the event loop.
    """

    def __init__(self, camera: norvane.Camera, loop: asyncio.AbstractEventLoop) -> None:
        self.camera = camera
        self.clients: Set[Client] = set()
        self.latest: Optional[norvane.Frame] = None  # the newest frame, for snapshots
        self.captured = 0
        # Why no frame will come any more: the camera failed, or it stopped (the end of a recording).
        self.failure: Optional[str] = None
        self.ended: Optional[str] = None
        self.on_end: Optional[Callable[[str, str], None]] = None  # ("failure" or "ended", the text)
        self._loop = loop
        # A replay's host times are another run's clock: its frames age from their hand-out.
        self._replay = camera.info.connection == "recording"
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._drive, name="norvane-viewer-capture", daemon=True)

    def start(self) -> None:
        self.camera.add_sink(self)
        self._thread.start()

    def close(self) -> None:
        """Stops driving the camera and waits for the thread; also ends the sink when the camera closes."""
        self._stop.set()
        if self._thread.is_alive() and threading.current_thread() is not self._thread:
            self._thread.join()

    def subscribe(self) -> Client:
        client = Client()
        self.clients.add(client)
        return client

    def unsubscribe(self, client: Client) -> None:
        self.clients.discard(client)

    def put(self, frame: norvane.Frame) -> None:
        """Every frame the camera delivers, on the thread that read it."""
        handed_out_ns = time.monotonic_ns()
        try:
            # Nobody watching: nothing to pack.
            message = protocol.encode(frame) if self.clients else None
        except Exception as error:  # reported, as a sink does, rather than raised into read()
            self._stop.set()
            self._post(self._end, "failure", f"the viewer could not pack a frame: {error}")
            return
        since_ns = handed_out_ns if self._replay else int(frame.received_ns)
        if not self._post(self._publish, frame, message, since_ns):
            self._stop.set()

    def _drive(self) -> None:
        while not self._stop.is_set():
            try:
                frame = self.camera.read(READ_TIMEOUT_S, latest=True)
            except Exception as error:  # a camera failure ends the stream, not the server
                self._post(self._end, "failure", f"the camera stopped delivering frames: {error}")
                return
            if frame is None and not self.camera.running:  # a recording played to its end: no frame will come
                what = "the recording ended" if self._replay else "the camera stopped streaming"
                self._post(self._end, "ended", f"{what}: {self.camera.info.source}")
                return

    def _post(self, callback: Callable[..., None], *args: Any) -> bool:
        try:
            self._loop.call_soon_threadsafe(callback, *args)
            return True
        except RuntimeError:  # the loop is closed: the server is going away
            return False

    def _publish(self, frame: norvane.Frame, message: Optional[bytearray], since_ns: int) -> None:
        self.latest = frame
        self.captured += 1
        if message is None:
            return
        for client in self.clients:
            client.offer(message, since_ns)

    def _end(self, kind: str, text: str) -> None:
        if kind == "failure":
            self.failure = text
        else:
            self.ended = text
        if self.on_end is not None:
            self.on_end(kind, text)
