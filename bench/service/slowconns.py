#!/usr/bin/env python3
"""Idle and slow-sending connections: SLOW_CONNECTIONS (default 1000) connections to nolvex-shortd,
half of them idle and half sending a request a few bytes at a time and never finishing it, held
open for SLOW_SECONDS (default 20, below the service's 30 s idle limit) while a probe client follows
a short link SLOW_PROBE_RATE (default 50) times a second on its own keep-alive connection, and
once a second on a new connection. Prints the probe's latency; the target is p99 under 100 ms.

The service runs with --max-connections and --max-connections-per-client raised above the held
connections and --header-timeout at 30 s (fairshare.py measures the default limits), and this script raises
its open-file limit (the service inherits it). Loopback only; exits 1 when the target is missed."""

import asyncio
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import shortdbench as sb  # noqa: E402

HELD = int(os.environ.get("SLOW_CONNECTIONS", "1000"))
SECONDS = float(os.environ.get("SLOW_SECONDS", "20"))
PROBE_RATE = float(os.environ.get("SLOW_PROBE_RATE", "50"))


async def hold(port, index, stop, counts):
    try:
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
    except OSError:
        counts["refused"] += 1
        return
    counts["open"] += 1
    request = b"GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"x" * 4096
    sent = 0
    try:
        while not stop.is_set():
            if index % 2 == 1 and sent < len(request):
                writer.write(request[sent:sent + 3])
                sent += 3
            try:
                data = await asyncio.wait_for(reader.read(1024), timeout=1.0)
                if not data:
                    counts["closed by service"] += 1
                    return
                counts["answered"] += 1
            except asyncio.TimeoutError:
                pass
    except ConnectionError:
        counts["closed by service"] += 1
    finally:
        writer.close()


async def run(service, code):
    stop = asyncio.Event()
    counts = {"open": 0, "refused": 0, "closed by service": 0, "answered": 0}
    holders = [asyncio.create_task(hold(service.port, i, stop, counts)) for i in range(HELD)]
    while counts["open"] + counts["refused"] < HELD:
        await asyncio.sleep(0.05)
    await asyncio.sleep(1.0)
    print("held connections: %d open, %d refused; service VmRSS %.1f MB"
          % (counts["open"], counts["refused"], service.rss_kib() / 1024), flush=True)

    kept = sb.Connection(service.port)
    latencies, fresh, failures = [], [], 0
    started = time.monotonic()
    sent = 0
    while time.monotonic() - started < SECONDS:
        due = int((time.monotonic() - started) * PROBE_RATE)
        while sent < due:
            sent += 1
            t0 = time.perf_counter()
            status, headers, _ = await kept.get("/" + code)
            latencies.append((time.perf_counter() - t0) * 1000)
            failures += status != 302
            if sent % int(PROBE_RATE) == 0:
                fresh_connection = sb.Connection(service.port)
                t0 = time.perf_counter()
                status, _, _ = await fresh_connection.get("/" + code)
                fresh.append((time.perf_counter() - t0) * 1000)
                failures += status != 302
                fresh_connection.close()
        await asyncio.sleep(0.002)
    kept.close()
    still_open = counts["open"] - counts["closed by service"]
    stop.set()
    await asyncio.gather(*holders)
    return latencies, fresh, failures, counts, still_open


def main():
    limit = sb.raise_file_limit(HELD + 1024)
    if limit < HELD + 64:
        sys.exit("open-file limit %d is too low for %d connections (raise the hard limit: ulimit -Hn)"
                 % (limit, HELD))
    # Every held connection comes from one address and never completes a request: the per-client
    # share and the header time-out are raised so that they stay, and the service carries them all.
    with sb.Service("--max-connections", str(HELD + 100), "--max-connections-per-client", str(HELD + 100),
                    "--header-timeout", "30") as service:
        status, _, body = sb.blocking_get(service.port, sb.shorten_target(0, "https://slow.example/probe"))
        code = json.loads(body)["info"].rsplit("/", 1)[1]
        latencies, fresh, failures, counts, still_open = asyncio.run(run(service, code))
        alive = service.alive()
        exit_status = service.stop()
    p99 = sb.percentile(latencies, 0.99)
    print("held %d connections (%d idle, %d sending slowly) for %.0f s; still open at the end: %d, "
          "answered or closed by the service: %d/%d"
          % (counts["open"], (counts["open"] + 1) // 2, counts["open"] // 2, SECONDS, still_open,
             counts["answered"], counts["closed by service"]))
    print("probe on a kept connection: %d redirects, p50 %.2f ms, p99 %.2f ms, max %.2f ms (target p99 < 100 ms)"
          % (len(latencies), sb.percentile(latencies, 0.5), p99, max(latencies)))
    print("probe on new connections: %d, p50 %.2f ms, max %.2f ms; failed probes: %d"
          % (len(fresh), sb.percentile(fresh, 0.5), max(fresh) if fresh else float("nan"), failures))
    ok = p99 < 100 and failures == 0 and alive and exit_status == 0 and counts["refused"] == 0
    print("service %s, exit status %s; target %s" % ("alive" if alive else "DIED", exit_status,
                                                     "met" if ok else "NOT met"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
