"""Shared pieces of the load scripts in bench/service: start nolvex-shortd on a free loopback
port, sign shortening requests like the client, read the service's resident memory, and a small
asyncio HTTP/1.1 client that keeps its connection open. Standard library only."""

import asyncio
import hashlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SALT = "brisk"


def shortd_binary():
    """$SHORTD, or the service from the first build tree that has one."""
    if os.environ.get("SHORTD"):
        return os.environ["SHORTD"]
    for tree in ("build-bench", "build-svc", "build"):
        path = os.path.join(ROOT, tree, "service", "nolvex-shortd")
        if os.access(path, os.X_OK):
            return path
    sys.exit("no nolvex-shortd found: build it, or set SHORTD=/path/to/nolvex-shortd")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def token(address):
    """The request token for an ASCII address (the client digests the GBK bytes, the same for ASCII)."""
    return hashlib.md5((address + SALT).encode("ascii")).hexdigest().upper()


def shorten_target(link_type, address):
    return ("/index.php/Index/weburl_zip?type=%d&url=%s&token=%s"
            % (link_type, urllib.parse.quote(address, safe=""), token(address)))


def raise_file_limit(wanted):
    """Raises this process's open-file limit (children inherit it); returns the limit in force."""
    import resource
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    target = wanted if hard == resource.RLIM_INFINITY else min(wanted, hard)
    if soft < target:
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


class Service:
    """nolvex-shortd on 127.0.0.1 with a fresh data directory; stopped with SIGTERM on exit. A bench's
    links all lead to one made-up site, so the site's hourly share of anonymous links is off."""

    def __init__(self, *arguments):
        self.port = free_port()
        self.dir = tempfile.mkdtemp(prefix="shortd-bench-")
        self.process = subprocess.Popen(
            [shortd_binary(), "--listen", "127.0.0.1:%d" % self.port, "--data-dir",
             os.path.join(self.dir, "data"), "--access-log", "off", "--host-create-limit", "0", *arguments],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.dir, "stderr.log"), "wb"))
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                sys.exit("nolvex-shortd exited: " + open(os.path.join(self.dir, "stderr.log")).read())
            try:
                if blocking_get(self.port, "/healthz")[0] == 200:
                    return
            except OSError:
                pass
            time.sleep(0.05)
        self.stop()
        sys.exit("nolvex-shortd did not answer /healthz")

    def rss_kib(self):
        with open("/proc/%d/status" % self.process.pid) as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        """SIGTERM; returns the exit status (0 is an orderly stop)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)
        return self.process.returncode

    def __enter__(self):
        return self

    def __exit__(self, *unused):
        self.stop()


def blocking_get(port, target, source="127.0.0.1", timeout=10):
    """One GET on a new connection: (status, headers dict, body)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout, source_address=(source, 0)) as s:
        s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n"
                   % (target, port)).encode("ascii"))
        # Read to the announced length: the service keeps the connection open after the reply.
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
            if b"\r\n\r\n" in data:
                status, headers, body = parse_reply(data)
                if len(body) >= int(headers.get("content-length", "0")):
                    break
    return parse_reply(data)


def parse_reply(data):
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1]) if lines and len(lines[0].split()) > 1 else 0
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return status, headers, body


class Connection:
    """A keep-alive HTTP/1.1 connection for asyncio: one request at a time."""

    def __init__(self, port, source="127.0.0.1"):
        self.port = port
        self.source = source
        self.reader = None
        self.writer = None

    async def open(self):
        self.reader, self.writer = await asyncio.open_connection(
            "127.0.0.1", self.port, local_addr=(self.source, 0))

    async def get(self, target):
        """(status, headers, body); reconnects once if the service closed the connection."""
        for attempt in range(2):
            if self.writer is None:
                await self.open()
            try:
                self.writer.write(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n"
                                   % (target, self.port)).encode("ascii"))
                head = await self.reader.readuntil(b"\r\n\r\n")
                status, headers, _ = parse_reply(head)
                body = await self.reader.readexactly(int(headers.get("content-length", "0")))
                if headers.get("connection", "").lower() == "close":
                    self.close()
                return status, headers, body
            except (ConnectionError, asyncio.IncompleteReadError):
                self.close()
                if attempt == 1:
                    raise
        raise ConnectionError("unreachable")

    def close(self):
        if self.writer is not None:
            self.writer.close()
        self.writer = None
        self.reader = None


def percentile(values, fraction):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]
