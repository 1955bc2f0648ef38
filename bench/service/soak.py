#!/usr/bin/env python3
"""Soak: a steady 200 requests a second against nolvex-shortd for SOAK_SECONDS (default 600), three
redirects of existing links for each new link created, over 20 keep-alive connections. Prints the
service's resident memory (VmRSS) at the start, each minute and at the end; the target is growth
under 10 MB. Exits 1 when a request fails or the target is missed.

    bench/service/soak.py                     10 minutes
    SOAK_SECONDS=60 bench/service/soak.py     a quick run
    SOAK_RATE=400 ...                         another request rate

    SOAK_VISIT=all ...                        redirects spread over every link, new ones too

By default the redirects go to 1,000 links made and visited once before the start, so the figure
is what the service keeps per request, not the link cache: with SOAK_VISIT=all every new link is
visited and cached, and memory grows with the cache (about 0.6 KB a link, up to its 50,000 links)
by design. The service runs with --rate-limit 0 (the soak is one client address) on loopback only."""

import asyncio
import json
import os
import random
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import shortdbench as sb  # noqa: E402

SECONDS = float(os.environ.get("SOAK_SECONDS", "600"))
RATE = float(os.environ.get("SOAK_RATE", "200"))
CONNECTIONS = 20
PRELOADED = 1000
VISIT_ALL = os.environ.get("SOAK_VISIT", "preloaded") == "all"


async def soak(service):
    codes = []
    run = "%x" % int(time.time())
    pool = [sb.Connection(service.port) for _ in range(CONNECTIONS)]
    for i in range(PRELOADED):
        status, _, body = await pool[0].get(sb.shorten_target(i % 6, "https://soak.example/%s/pre/%d" % (run, i)))
        assert status == 200, body
        codes.append(json.loads(body)["info"].rsplit("/", 1)[1])
    # The first visits warm the link cache; memory is measured from here on.
    for code in codes:
        await pool[0].get("/" + code)

    stats = {"requests": 0, "created": 0, "redirected": 0, "failed": 0}
    latencies = {"create": [], "redirect": []}
    free = asyncio.Queue()
    for connection in pool:
        free.put_nowait(connection)
    made = 0

    async def one(kind, target):
        connection = await free.get()
        started = time.perf_counter()
        try:
            status, _, body = await connection.get(target)
        except (OSError, asyncio.IncompleteReadError):
            status, body = 0, b""
        latencies[kind].append((time.perf_counter() - started) * 1000)
        free.put_nowait(connection)
        stats["requests"] += 1
        if kind == "create" and status == 200 and json.loads(body)["result"] == 1:
            stats["created"] += 1
            codes.append(json.loads(body)["info"].rsplit("/", 1)[1])
        elif kind == "redirect" and status == 302:
            stats["redirected"] += 1
        else:
            stats["failed"] += 1

    start_rss = service.rss_kib()
    print("start: VmRSS %.1f MB, %d links; %.0f requests/s for %.0f s, redirects to %s"
          % (start_rss / 1024, len(codes), RATE, SECONDS, "every link" if VISIT_ALL else "the first 1,000 links"),
          flush=True)
    started = time.monotonic()
    next_report = started + 60
    tasks = set()
    sent = 0
    while True:
        now = time.monotonic()
        if now - started >= SECONDS:
            break
        due = int((now - started) * RATE)
        while sent < due:
            if sent % 4 == 3:
                made += 1
                target = sb.shorten_target(made % 6, "https://soak.example/%s/new/%d?n=%d" % (run, made, made))
                task = asyncio.create_task(one("create", target))
            else:
                pool_size = len(codes) if VISIT_ALL else PRELOADED
                task = asyncio.create_task(one("redirect", "/" + codes[random.randrange(pool_size)]))
            tasks.add(task)
            task.add_done_callback(tasks.discard)
            sent += 1
        if now >= next_report:
            print("%4.0f s: VmRSS %.1f MB, %d requests, %d links, %d failed"
                  % (now - started, service.rss_kib() / 1024, stats["requests"], len(codes), stats["failed"]),
                  flush=True)
            next_report += 60
        await asyncio.sleep(0.005)
    await asyncio.gather(*tasks)
    elapsed = time.monotonic() - started
    for connection in pool:
        connection.close()

    end_rss = service.rss_kib()
    growth = (end_rss - start_rss) / 1024
    print("end:   VmRSS %.1f MB after %.0f s; growth %.1f MB (target < 10)" % (end_rss / 1024, elapsed, growth))
    print("requests %d (%.0f/s): %d redirects, %d links created, %d failed"
          % (stats["requests"], stats["requests"] / elapsed, stats["redirected"], stats["created"], stats["failed"]))
    for kind, values in latencies.items():
        print("%-8s p50 %.2f ms  p99 %.2f ms  max %.2f ms" % (kind, sb.percentile(values, 0.5),
                                                         sb.percentile(values, 0.99), max(values)))
    return growth < 10 and stats["failed"] == 0


def main():
    with sb.Service("--rate-limit", "0") as service:
        ok = asyncio.run(soak(service))
        alive = service.alive()
        status = service.stop()
    print("service %s, exit status %s on SIGTERM" % ("alive at the end" if alive else "DIED", status))
    print("target met" if ok and alive and status == 0 else "target NOT met")
    return 0 if ok and alive and status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
