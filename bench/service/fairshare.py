#!/usr/bin/env python3
"""One address holds FAIR_CONNECTIONS (default 1000) idle connections to nolvex-shortd for
FAIR_SECONDS (default 60), opening a new one whenever one is refused or closed, as a client trying
to take every slot does; meanwhile a second address (127.0.0.2) follows a short link FAIR_PROBE_RATE
(default 20) times a second, each time on a new connection, from a process of its own.
FAIR_RETRY_SECONDS (default 0) is how long the holder waits before replacing a closed connection. The service runs with its default
limits (32 connections per client address, 512 in all). Prints what the holder got and the probe's
availability and latency; the target is every probe answered and p99 under 100 ms.

Loopback only; the script raises its open-file limit (the service inherits it). Exits 1 when the
target is missed."""

import asyncio
import json
import multiprocessing
import os
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import shortdbench as sb  # noqa: E402

HELD = int(os.environ.get("FAIR_CONNECTIONS", "1000"))
SECONDS = float(os.environ.get("FAIR_SECONDS", "60"))
PROBE_RATE = float(os.environ.get("FAIR_PROBE_RATE", "20"))
# How long the holder waits before it replaces a connection the service ended; 0 is at once.
RETRY_SECONDS = float(os.environ.get("FAIR_RETRY_SECONDS", "0"))


async def hold(port, stop, counts):
    """Keeps one idle connection open from 127.0.0.1, reconnecting whenever it ends."""
    while not stop.is_set():
        try:
            reader, writer = await asyncio.open_connection("127.0.0.1", port)
        except OSError:
            counts["connect failed"] += 1
            await asyncio.sleep(0.1)
            continue
        counts["opened"] += 1
        try:
            while not stop.is_set():
                try:
                    data = await asyncio.wait_for(reader.read(4096), timeout=0.5)
                except asyncio.TimeoutError:
                    continue
                if data.startswith(b"HTTP/1.1 503"):
                    counts["503"] += 1
                if not data:
                    counts["closed by service"] += 1
                    await asyncio.sleep(RETRY_SECONDS)
                    break
        except ConnectionError:
            counts["reset"] += 1
        finally:
            writer.close()


def probe(port, code, queue):
    """In its own process, so that the holder's work does not delay it: one GET a 1/PROBE_RATE s."""
    results = []
    started = time.monotonic()
    sent = 0
    while time.monotonic() - started < SECONDS:
        due = started + sent / PROBE_RATE
        time.sleep(max(0.0, due - time.monotonic()))
        sent += 1
        t0 = time.perf_counter()
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5, source_address=("127.0.0.2", 0)) as s:
                s.sendall(("GET /%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n"
                           % (code, port)).encode("ascii"))
                data = b""
                while b"\r\n\r\n" not in data:
                    chunk = s.recv(4096)
                    if not chunk:
                        break
                    data += chunk
                status = sb.parse_reply(data)[0]
        except OSError:
            status = 0
        results.append((status, (time.perf_counter() - t0) * 1000))
    queue.put(results)


async def run(service, code):
    stop = asyncio.Event()
    counts = {"opened": 0, "503": 0, "closed by service": 0, "reset": 0, "connect failed": 0}
    holders = [asyncio.create_task(hold(service.port, stop, counts)) for _ in range(HELD)]
    await asyncio.sleep(2.0)
    queue = multiprocessing.Queue()
    prober = multiprocessing.Process(target=probe, args=(service.port, code, queue))
    prober.start()
    while prober.is_alive() and queue.empty():
        await asyncio.sleep(0.1)
    results = queue.get()
    prober.join()
    stop.set()
    await asyncio.gather(*holders)
    return results, counts


def main():
    limit = sb.raise_file_limit(HELD + 1024)
    if limit < HELD + 64:
        sys.exit("open-file limit %d is too low for %d connections (raise the hard limit: ulimit -Hn)"
                 % (limit, HELD))
    with sb.Service() as service:
        _, _, body = sb.blocking_get(service.port, sb.shorten_target(0, "https://fair.example/probe"))
        code = json.loads(body)["info"].rsplit("/", 1)[1]
        results, counts = asyncio.run(run(service, code))
        alive = service.alive()
        exit_status = service.stop()
    answered = [ms for status, ms in results if status == 302]
    p99 = sb.percentile(answered, 0.99)
    print("holder (127.0.0.1, %d at once for %.0f s): %d connections opened, %d answered 503, %d closed by "
          "the service, %d reset, %d failed to connect"
          % (HELD, SECONDS, counts["opened"], counts["503"], counts["closed by service"], counts["reset"],
             counts["connect failed"]))
    print("probe (127.0.0.2, new connection each): %d/%d answered 302 (%.2f %%), p50 %.2f ms, p99 %.2f ms, "
          "max %.2f ms (target 100 %%, p99 < 100 ms)"
          % (len(answered), len(results), 100.0 * len(answered) / max(1, len(results)),
             sb.percentile(answered, 0.5), p99, max(answered) if answered else float("nan")))
    ok = len(answered) == len(results) and p99 < 100 and alive and exit_status == 0
    print("service %s, exit status %s; target %s" % ("alive" if alive else "DIED", exit_status,
                                                     "met" if ok else "NOT met"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
