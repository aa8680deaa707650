"""CPU time per frame of the web viewer's server against the camera's own.

Each case runs in a child process on the simulated kit (30 captures per second,
with shot noise), and the child's CPU time (every thread) is read over the same
window as the captures it took:

  viewer_camera_cpu_ms_per_frame       a bare loop of Camera.read(latest=True)
  viewer_server_idle_cpu_ms_per_frame  the viewer with no browser connected
  viewer_server_N_cpu_ms_per_frame     the viewer sending every frame to N clients
                                       (clients in this process, not counted)
  viewer_server_N_over_camera          the ratio of the two
  viewer_server_N_messages_per_frame   frame messages sent per capture, all clients together
                                       (below N: a client skipped frames)
  viewer_message_bytes                 one frame message (240 x 180, three 16-bit planes)

Usage: viewer_cpu.py [SECONDS]
"""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
import tempfile
import threading
import time

KIT = "fps = 30\nnoise = 1\n"
WARM_UP_S = 1.5
CHILD = "--child"


def child(mode: str, config: str) -> None:
    """Runs one case; answers each line on standard input with 'captures sent cpu_seconds'."""
    import norvane

    if mode == "camera":
        camera = norvane.open(config=config)
        camera.start()
        captured = [0]

        def loop() -> None:
            while True:
                if camera.read(1.0, latest=True) is not None:
                    captured[0] += 1

        threading.Thread(target=loop, daemon=True).start()
        count = lambda: captured[0]  # noqa: E731
        sent = lambda: 0  # noqa: E731
    else:
        from aiohttp import web

        from norvane.viewer import create_app
        from norvane.viewer.app import VIEWER

        app = create_app(config=config)
        runner = web.AppRunner(app)
        loop = asyncio.new_event_loop()
        loop.run_until_complete(runner.setup())
        loop.run_until_complete(web.TCPSite(runner, "127.0.0.1", 0).start())
        threading.Thread(target=loop.run_forever, daemon=True).start()
        print(runner.addresses[0][1], flush=True)
        relay = app[VIEWER].relay
        assert relay is not None
        count = lambda: relay.captured  # noqa: E731
        sent = lambda: sum(client.sent for client in relay.clients)  # noqa: E731
    for _ in sys.stdin:
        print(count(), sent(), time.process_time(), flush=True)
    os._exit(0)


async def watch(port: int, clients: int, stop: asyncio.Event) -> None:
    import aiohttp

    async def one(session: aiohttp.ClientSession) -> None:
        async with session.ws_connect(f"http://127.0.0.1:{port}/ws", max_msg_size=0) as ws:
            while not stop.is_set():
                await ws.receive()

    async with aiohttp.ClientSession() as session:
        tasks = [asyncio.create_task(one(session)) for _ in range(clients)]
        await stop.wait()
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)


def measure(mode: str, config: str, seconds: float, clients: int = 0) -> tuple[float, float]:
    """CPU milliseconds per captured frame, and frame messages sent per capture."""
    process = subprocess.Popen([sys.executable, __file__, CHILD, mode, config],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    assert process.stdin and process.stdout

    def mark() -> tuple[int, int, float]:
        process.stdin.write("\n")
        process.stdin.flush()
        frames, sent, cpu = process.stdout.readline().split()
        return int(frames), int(sent), float(cpu)

    try:
        stop = None
        if mode == "server":
            port = int(process.stdout.readline())
            stop = asyncio.Event()
            loop = asyncio.new_event_loop()
            threading.Thread(target=loop.run_until_complete, args=(watch(port, clients, stop),), daemon=True).start()
        time.sleep(WARM_UP_S)
        frames0, sent0, cpu0 = mark()
        time.sleep(seconds)
        frames1, sent1, cpu1 = mark()
        if stop is not None:
            loop.call_soon_threadsafe(stop.set)
        frames = max(frames1 - frames0, 1)
        return (cpu1 - cpu0) * 1e3 / frames, (sent1 - sent0) / frames
    finally:
        process.kill()
        process.wait()


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == CHILD:
        child(sys.argv[2], sys.argv[3])
        return
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 5.0
    with tempfile.TemporaryDirectory() as folder:
        config = os.path.join(folder, "kit.conf")
        with open(config, "w") as file:
            file.write(KIT)
        camera, _ = measure("camera", config, seconds)
        print(f"viewer_camera_cpu_ms_per_frame {camera:.3f} ms")
        print(f"viewer_server_idle_cpu_ms_per_frame {measure('server', config, seconds)[0]:.3f} ms")
        for clients in (1, 2):
            server, sent = measure("server", config, seconds, clients)
            print(f"viewer_server_{clients}_cpu_ms_per_frame {server:.3f} ms")
            print(f"viewer_server_{clients}_over_camera {server / camera:.2f} x")
            print(f"viewer_server_{clients}_messages_per_frame {sent:.2f}")
    print(f"viewer_message_bytes {32 + 3 * 2 * 240 * 180} B")


if __name__ == "__main__":
    main()
