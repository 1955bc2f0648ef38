"""Three nolvex-shortd instances on one PostgreSQL database: how long a take-down takes to reach
every instance, and how many creations one client gets against the shared limit.

    cluster.py SHORTD DATABASE_URL WORKDIR TAKEDOWNS LIMIT LIMIT_SECONDS PSQL...

Run by cluster.sh, which starts the throw-away cluster."""

import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
import shortdbench  # noqa: E402

shortd, url, work, takedowns, limit, limit_seconds = sys.argv[1:7]
psql = sys.argv[7:]  # the command that opens a session on the cluster
os.environ["SHORTD"] = shortd
takedowns, limit, limit_seconds = int(takedowns), int(limit), float(limit_seconds)


def create(port, address):
    status, _, body = shortdbench.blocking_get(port, shortdbench.shorten_target(1, address))
    if status != 200:
        return status, None
    return status, json.loads(body)["info"].rsplit("/", 1)[-1]


def wait_for_gone(instances, code, start):
    waiting = set(range(len(instances)))
    while waiting:
        for n in list(waiting):
            if shortdbench.blocking_get(instances[n].port, "/" + code)[0] == 410:
                waiting.discard(n)
        if time.monotonic() - start > 10:
            sys.exit("take-down %s never reached every instance" % code)
    return time.monotonic() - start


def report(what, times):
    print("%s, %d links:" % (what, len(times)))
    print("  median %.0f ms, max %.0f ms (target: max < 1000 ms)"
          % (statistics.median(times) * 1000, max(times) * 1000))


def measure_takedowns():
    # Caches far longer than the run: only hearing of the change takes a link down.
    instances = [shortdbench.Service("--database", url, "--rate-limit", "0", "--cache-ttl", "600")
                 for _ in range(3)]
    # The same change made in an open database session: the time from its commit alone.
    session = subprocess.Popen(psql + ["-d", url.rsplit("/", 1)[-1]], stdin=subprocess.PIPE,
                               stdout=subprocess.DEVNULL, text=True)
    by_command = []
    by_session = []
    acknowledged = 0
    try:
        for i in range(2 * takedowns):
            _, code = create(instances[0].port, "https://bench.example/takedown/%d" % i)
            for instance in instances:
                assert shortdbench.blocking_get(instance.port, "/" + code)[0] == 302
            start = time.monotonic()
            if i % 2 == 0:
                command = subprocess.Popen([shortd, "links", "disable", code, "--database", url],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
                by_command.append(wait_for_gone(instances, code, start))
                _, err = command.communicate()
                acknowledged += b"acknowledged by 3 of 3" in err
            else:
                session.stdin.write("UPDATE links SET state = 1 WHERE code = '%s';\n" % code)
                session.stdin.flush()
                by_session.append(wait_for_gone(instances, code, start))
    finally:
        session.stdin.close()
        session.wait()
        for instance in instances:
            instance.stop()
    report("take-down to 410 on all three, from the start of `links disable` (its own start-up included)",
           by_command)
    print("  acknowledged by all three: %d of %d" % (acknowledged, len(by_command)))
    report("take-down to 410 on all three, from an UPDATE sent in an open session", by_session)


def measure_limit():
    instances = [shortdbench.Service("--database", url, "--rate-limit", str(limit)) for _ in range(3)]
    granted = []
    refused = 0
    try:
        time.sleep(2)  # every instance has counted the others
        start = time.monotonic()
        i = 0
        while time.monotonic() - start < limit_seconds:
            status, _ = create(instances[i % 3].port, "https://bench.example/limit/%d" % i)
            if status == 200:
                granted.append(time.monotonic())
            else:
                refused += 1
            i += 1
    finally:
        for instance in instances:
            instance.stop()
    # The most creations in any 60 s, and in the first minute.
    most = 0
    first = 0
    for j, moment in enumerate(granted):
        while first < j and moment - granted[first] >= 60:
            first += 1
        most = max(most, j - first + 1)
    in_first_minute = sum(1 for moment in granted if moment - start < 60)
    print("one client over three instances, --rate-limit %d, %.0f s, %d requests:" % (limit, limit_seconds, i))
    print("  first minute %d (%.2f x), most in any 60 s %d (%.2f x), refused %d (target: <= 1.2 x)"
          % (in_first_minute, in_first_minute / limit, most, most / limit, refused))


measure_takedowns()
measure_limit()
