#!/usr/bin/env python3
"""Burst above the rate limit: nolvex-shortd with --rate-limit BURST_LIMIT (default 60 a minute);
one client (127.0.0.1) sends BURST_REQUESTS (default 5,000) link creations as fast as 10 connections
allow. It must get its minute's allowance of links, then 429 with Retry-After and nothing else.
Meanwhile another client address (127.0.0.2) creates links, follows a link and asks /healthz; all
of that must keep working, and latency stays low. Loopback only; exits 1 when anything else happens."""

import asyncio
import collections
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import shortdbench as sb  # noqa: E402

LIMIT = int(os.environ.get("BURST_LIMIT", "60"))
REQUESTS = int(os.environ.get("BURST_REQUESTS", "5000"))


async def burst(service, statuses, retry_after):
    queue = asyncio.Queue()
    for i in range(REQUESTS):
        queue.put_nowait(sb.shorten_target(i % 6, "https://burst.example/%d" % i))

    async def worker():
        connection = sb.Connection(service.port)
        while not queue.empty():
            status, headers, body = await connection.get(queue.get_nowait())
            statuses[status] += 1
            if status == 429:
                retry_after.append(int(headers.get("retry-after", "0")))
                assert json.loads(body)["result"] == 0
        connection.close()

    await asyncio.gather(*(worker() for _ in range(10)))


async def bystander(service, code, stop, results):
    connection = sb.Connection(service.port, source="127.0.0.2")
    n = 0
    while not stop.is_set():
        targets = [("/healthz", 200), ("/" + code, 302)]
        if n < LIMIT // 2:  # stays within its own allowance
            targets.append((sb.shorten_target(n % 6, "https://bystander.example/%d" % n), 200))
        for target, expected in targets:
            t0 = time.perf_counter()
            status, _, _ = await connection.get(target)
            results["latency"].append((time.perf_counter() - t0) * 1000)
            results["ok" if status == expected else "bad"] += 1
        n += 1
        await asyncio.sleep(0.001)
    connection.close()


async def run(service, code):
    statuses = collections.Counter()
    retry_after = []
    results = {"ok": 0, "bad": 0, "latency": []}
    stop = asyncio.Event()
    started = time.perf_counter()
    side = asyncio.create_task(bystander(service, code, stop, results))
    await burst(service, statuses, retry_after)
    elapsed = time.perf_counter() - started
    stop.set()
    await side
    # After the burst the limited client may still follow links and ask for health.
    after = sb.Connection(service.port)
    follow = (await after.get("/" + code))[0]
    health = (await after.get("/healthz"))[0]
    after.close()
    return statuses, retry_after, results, elapsed, follow, health


def main():
    try:
        probe = sb.socket.create_connection(("127.0.0.1", 9), timeout=0.1, source_address=("127.0.0.2", 0))
        probe.close()
    except ConnectionRefusedError:
        pass
    except OSError as error:
        sys.exit("cannot use 127.0.0.2 as a second client address: %s" % error)
    with sb.Service("--rate-limit", str(LIMIT)) as service:
        # The link to follow is made from a third address, outside both clients' allowances.
        _, _, body = sb.blocking_get(service.port, sb.shorten_target(0, "https://burst.example/follow"),
                                     source="127.0.0.3")
        code = json.loads(body)["info"].rsplit("/", 1)[1]
        statuses, retry_after, results, elapsed, follow, health = asyncio.run(run(service, code))
        alive = service.alive()
        exit_status = service.stop()
    print("burst: %d creations in %.2f s from one address: %s" % (
        REQUESTS, elapsed, ", ".join("%d x %d" % (count, status) for status, count in sorted(statuses.items()))))
    print("Retry-After on 429: %s-%s s" % (min(retry_after, default=0), max(retry_after, default=0)))
    print("other address during the burst: %d answered as expected, %d not; p99 %.2f ms"
          % (results["ok"], results["bad"], sb.percentile(results["latency"], 0.99)))
    print("limited client afterwards: redirect %d, healthz %d; service %s, exit status %s"
          % (follow, health, "alive" if alive else "DIED", exit_status))
    ok = (set(statuses) <= {200, 429} and LIMIT <= statuses[200] <= LIMIT + 2 and statuses[429] > 0
          and min(retry_after, default=0) >= 1 and results["bad"] == 0 and follow == 302 and health == 200
          and alive and exit_status == 0)
    print("target %s" % ("met" if ok else "NOT met"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
