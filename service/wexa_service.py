#!/usr/bin/env python3
"""The Wexa-Share web service: tells a caller its public address (/getip.php), tests whether the
caller's share port can be reached from outside by connecting back to it (/testcon.php?port=N),
and serves the newest version number and installer (/update.php?mode=check, /update.php).

One asyncio loop, Python's standard library only. Every answer closes its connection, as the
program reads each response until the close. The connectivity test only ever connects to the
address the request came from (or, behind a trusted reverse proxy, the address that proxy saw),
so it cannot be pointed at anyone else; tests per caller are limited in number and one at a time.
"""
import argparse
import asyncio
import base64
import binascii
import collections
import email.utils
import ipaddress
import os
import re
import signal
import sys
import time
import urllib.parse

PRODUCT = b"Wexa-Share-Service/1.0"
MAX_HEAD = 8192
MAX_HEADERS = 64
# The installer's ECDSA P-256 signatures, Base64 of r || s; the program verifies one before use.
# X-Wexa-Signature covers the installer alone (programs up to 1.2.1 read it); the version-bound
# one covers "Wexa-Share update <version>\n" and the installer, and goes with the version.
SIGNATURE_HEADER = "X-Wexa-Signature"
VERSION_HEADER = "X-Wexa-Version"
VERSION_SIGNATURE_HEADER = "X-Wexa-Version-Signature"
RELEASE_NAME = re.compile(r"WexaShare-([1-9][0-9]{0,8})\.exe")
METHOD = re.compile(rb"[!#$%&'*+.^_`|~0-9A-Za-z-]+")
HEADER_NAME = METHOD
REASONS = {200: "OK", 400: "Bad Request", 404: "Not Found", 405: "Method Not Allowed",
           408: "Request Timeout", 429: "Too Many Requests", 431: "Request Header Fields Too Large",
           500: "Internal Server Error", 503: "Service Unavailable", 505: "HTTP Version Not Supported"}


class BadRequest(Exception):
    """A request the service will not serve; carries the status and a short text for the body."""

    def __init__(self, status, text):
        super().__init__(text)
        self.status = status
        self.text = text


# ---------------------------------------------------------------------------------------------
# Requests.

class Request:
    def __init__(self, method, path, query, version, headers):
        self.method = method
        self.path = path
        self.query = query
        self.version = version
        self.headers = headers  # lower-case name -> list of values

    def header_values(self, name):
        return self.headers.get(name, [])


def parse_head(head):
    """Request from the bytes of a head up to and including its blank line; raises BadRequest."""
    lines = head[:-4].split(b"\r\n")
    parts = lines[0].split(b" ")
    if len(parts) != 3 or not METHOD.fullmatch(parts[0]):
        raise BadRequest(400, "malformed request line")
    method, target, version = parts
    if not re.fullmatch(rb"HTTP/[0-9]\.[0-9]", version):
        raise BadRequest(400, "malformed request line")
    if version not in (b"HTTP/1.0", b"HTTP/1.1"):
        raise BadRequest(505, "HTTP/1.x only")
    if not target.startswith(b"/") or any(c < 0x21 or c > 0x7e for c in target):
        raise BadRequest(400, "malformed request target")
    if len(lines) - 1 > MAX_HEADERS:
        raise BadRequest(431, "too many header fields")
    headers = {}
    for line in lines[1:]:
        name, colon, value = line.partition(b":")
        if not colon or not HEADER_NAME.fullmatch(name):
            raise BadRequest(400, "malformed header field")
        headers.setdefault(name.decode("ascii").lower(), []).append(value.strip(b" \t").decode("latin-1"))
    path, _, query = target.decode("ascii").partition("?")
    return Request(method.decode("ascii"), path, parse_query(query), version.decode("ascii"), headers)


def parse_query(query):
    """name -> value; a name given twice is refused, since it would be ambiguous."""
    values = {}
    try:
        for pair in query.split("&") if query else []:
            name, _, value = pair.partition("=")
            name = urllib.parse.unquote(name, errors="strict")
            if name in values:
                raise BadRequest(400, "parameter given twice")
            values[name] = urllib.parse.unquote(value, errors="strict")
    except UnicodeDecodeError:
        raise BadRequest(400, "query is not UTF-8") from None
    return values


def parse_port(text):
    """A TCP port 1..65535 written in plain decimal digits, or BadRequest."""
    if text is None:
        raise BadRequest(400, "port missing")
    if not re.fullmatch(r"[0-9]{1,5}", text) or not 1 <= int(text) <= 65535:
        raise BadRequest(400, "port must be 1 to 65535")
    return int(text)


# ---------------------------------------------------------------------------------------------
# Who is calling.

def normalize_address(text):
    """An ip_address from a peer or header text; IPv4 callers reached over IPv6 sockets come back
    as plain IPv4."""
    address = ipaddress.ip_address(text.strip().strip("[]").split("%")[0])
    if address.version == 6 and address.ipv4_mapped is not None:
        return address.ipv4_mapped
    return address


def caller_address(peer, forwarded_values, trusted_proxies):
    """The address a request came from. X-Forwarded-For counts only when the connection comes from
    a trusted proxy; then the right-most entry that is not itself a trusted proxy is the caller
    (entries further left were written by the client and prove nothing)."""
    address = normalize_address(peer)
    if not forwarded_values or not is_trusted(address, trusted_proxies):
        return address
    entries = [e for value in forwarded_values for e in value.split(",")]
    for entry in reversed(entries):
        try:
            hop = normalize_address(entry)
        except ValueError:
            raise BadRequest(400, "malformed X-Forwarded-For") from None
        address = hop
        if not is_trusted(hop, trusted_proxies):
            break
    return address


def is_trusted(address, trusted_proxies):
    return any(address.version == net.version and address in net for net in trusted_proxies)


def limit_key(address):
    """Limits apply per IPv4 address and per IPv6 /64, which one subscriber usually holds whole."""
    if address.version == 6:
        return str(ipaddress.ip_network((address, 64), strict=False))
    return str(address)


# ---------------------------------------------------------------------------------------------
# Connectivity tests.

class RateLimiter:
    """At most `limit` events per key within a sliding window of `window` seconds. Keys whose
    events have all expired are dropped, and at most `max_keys` keys are tracked at once, so a
    caller with many addresses cannot make it grow without bound."""

    def __init__(self, limit, window, max_keys=65536, clock=time.monotonic):
        self.limit = limit
        self.window = window
        self.max_keys = max_keys
        self.clock = clock
        self.events = {}
        self.last_sweep = clock()

    def allow(self, key):
        now = self.clock()
        if now - self.last_sweep >= self.window:
            self._sweep(now)
        times = self.events.get(key)
        if times is None:
            if len(self.events) >= self.max_keys:
                return False
            times = self.events[key] = collections.deque()
        while times and now - times[0] >= self.window:
            times.popleft()
        if len(times) >= self.limit:
            return False
        times.append(now)
        return True

    def _sweep(self, now):
        self.last_sweep = now
        for key in [k for k, t in self.events.items() if not t or now - t[-1] >= self.window]:
            del self.events[key]


class TestBook:
    """Which callers have a test running: one per caller, and at most `max_running` in all."""

    def __init__(self, limiter, max_running):
        self.limiter = limiter
        self.max_running = max_running
        self.running = set()

    def begin(self, key):
        """Returns when the test may start (the caller must then call end); else BadRequest."""
        if key in self.running:
            raise BadRequest(429, "a test for this address is already running")
        if len(self.running) >= self.max_running:
            raise BadRequest(503, "too many tests running, try again later")
        if not self.limiter.allow(key):
            raise BadRequest(429, "too many tests from this address, try again later")
        self.running.add(key)

    def end(self, key):
        self.running.discard(key)


async def connect_back(address, port, timeout):
    """Connects to address:port and sends a request with the method word "testcon". True when
    the request went out. Then waits, within the same time-out, for the peer to close (or say
    anything), so that it reads the request before this side closes."""
    deadline = time.monotonic() + timeout
    try:
        reader, writer = await asyncio.wait_for(asyncio.open_connection(str(address), port), timeout)
    except (OSError, asyncio.TimeoutError):
        return False
    try:
        host = "[%s]" % address if address.version == 6 else str(address)
        writer.write(b"testcon /testcon.php HTTP/1.1\r\nHost: %s:%d\r\nUser-Agent: %s\r\n"
                     b"Connection: close\r\n\r\n" % (host.encode(), port, PRODUCT))
        try:
            await asyncio.wait_for(writer.drain(), max(0.0, deadline - time.monotonic()))
        except (OSError, asyncio.TimeoutError):
            return False
        try:
            await asyncio.wait_for(reader.read(1024), max(0.0, deadline - time.monotonic()))
        except (OSError, asyncio.TimeoutError):
            pass
        return True
    finally:
        writer.close()


# ---------------------------------------------------------------------------------------------
# Releases.

def newest_release(folder):
    """(version, path) of the highest-numbered WexaShare-<version>.exe in folder, or None."""
    best = None
    try:
        names = os.listdir(folder) if folder else []
    except OSError:
        return None
    for name in names:
        match = RELEASE_NAME.fullmatch(name)
        path = os.path.join(folder, name)
        if match and os.path.isfile(path):
            version = int(match.group(1))
            if best is None or version > best[0]:
                best = (version, path)
    return best


def release_signature(path, suffix=".sig"):
    """The Base64 signature kept beside an installer (<installer>.sig or .vsig, as
    scripts/sign-release.py writes them), or None when there is none or it is not 64 bytes of
    Base64: the program refuses an installer without a good one, so a bad file is reported,
    never passed on as a header."""
    try:
        with open(path + suffix, "rb") as f:
            text = f.read(1024).strip()
    except OSError:
        return None
    try:
        if len(base64.b64decode(text, validate=True)) == 64:
            return text.decode("ascii")
    except (binascii.Error, ValueError):
        pass
    log("%s%s is not a signature" % (os.path.basename(path), suffix))
    return None


# ---------------------------------------------------------------------------------------------
# The server.

class Service:
    def __init__(self, config):
        self.config = config
        self.trusted = [ipaddress.ip_network(p, strict=False) for p in config.trusted_proxy]
        self.tests = TestBook(RateLimiter(config.rate_limit, config.rate_window), config.max_tests)
        self.connections = 0

    async def handle(self, reader, writer):
        self.connections += 1
        try:
            if self.connections > self.config.max_connections:
                await self.respond(writer, "GET", 503, b"busy, try again later")
                return
            await self.serve_one(reader, writer)
        except (ConnectionError, asyncio.TimeoutError):
            pass
        except Exception as error:  # a fault in one request must not take the service down
            log("internal error: %r" % error)
            try:
                await self.respond(writer, "GET", 500, b"internal error")
            except Exception:
                pass
        finally:
            self.connections -= 1
            writer.close()

    async def serve_one(self, reader, writer):
        peer = writer.get_extra_info("peername")[0]
        try:
            head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), self.config.header_timeout)
        except asyncio.TimeoutError:
            await self.respond(writer, "GET", 408, b"request head took too long")
            return
        except asyncio.LimitOverrunError:
            await self.respond(writer, "GET", 431, b"request head too large")
            return
        except asyncio.IncompleteReadError:
            return
        method = "GET"
        try:
            request = parse_head(head)
            method = request.method
            caller = caller_address(peer, request.header_values("x-forwarded-for"), self.trusted)
            status, body, extra = await self.route(request, caller)
        except BadRequest as refusal:
            status, body, extra = refusal.status, refusal.text.encode(), {}
            log("%s %s %d %s" % (peer, loggable(head.split(b"\r\n", 1)[0]), status, refusal.text))
        else:
            log("%s %s %s %d %s" % (caller, request.method, loggable(head.split(b" ", 2)[1]),
                                    status, extra.get("log", "")))
        if "file" in extra:
            await self.send_file(writer, method, extra["file"], extra["version"])
        else:
            await self.respond(writer, method, status, body, extra.get("type", "text/plain; charset=utf-8"))

    async def route(self, request, caller):
        """(status, body bytes, extras) for a parsed request."""
        if request.method not in ("GET", "HEAD"):
            raise BadRequest(405, "GET or HEAD only")
        if request.path == "/getip.php":
            # The bare address, no line end: the program shows the body as it stands.
            return 200, str(caller).encode(), {}
        if request.path == "/testcon.php":
            return await self.testcon(request, caller)
        if request.path == "/update.php":
            return self.update(request)
        raise BadRequest(404, "not found")

    async def testcon(self, request, caller):
        port = parse_port(request.query.get("port"))
        key = limit_key(caller)
        self.tests.begin(key)
        try:
            reached = await connect_back(caller, port, self.config.test_timeout)
        finally:
            self.tests.end(key)
        word = "reachable" if reached else "unreachable"
        return 200, ("%s:%d %s" % (caller, port, word)).encode(), {"log": word}

    def update(self, request):
        mode = request.query.get("mode")
        if set(request.query) - {"mode"} or mode not in (None, "check"):
            raise BadRequest(400, "unknown update request")
        release = newest_release(self.config.releases)
        if release is None:
            raise BadRequest(404, "no release")
        version, path = release
        if mode == "check":
            # Digits only: the program refuses a version number with anything around it.
            return 200, str(version).encode(), {"log": str(version)}
        return 200, b"", {"file": path, "version": version, "log": os.path.basename(path)}

    async def send_file(self, writer, method, path, version):
        try:
            handle = open(path, "rb")
        except OSError:
            await self.respond(writer, method, 404, b"no release")
            return
        with handle:
            size = os.fstat(handle.fileno()).st_size
            extra = 'Content-Disposition: attachment; filename="%s"\r\n' % os.path.basename(path)
            signature = release_signature(path)
            if signature:
                extra += "%s: %s\r\n" % (SIGNATURE_HEADER, signature)
            signature = release_signature(path, ".vsig")
            if signature:
                extra += "%s: %d\r\n%s: %s\r\n" % (VERSION_HEADER, version, VERSION_SIGNATURE_HEADER, signature)
            writer.write(response_head(200, size, "application/octet-stream", extra))
            if method != "HEAD":
                left = size
                while left > 0:
                    try:
                        chunk = handle.read(min(65536, left))
                    except OSError as error:
                        chunk = b""
                        log("reading %s: %s" % (path, error))
                    if not chunk:
                        break  # the head is out: a short body is all that can tell the client
                    left -= len(chunk)
                    writer.write(chunk)
                    await asyncio.wait_for(writer.drain(), self.config.send_timeout)
            await asyncio.wait_for(writer.drain(), self.config.send_timeout)

    async def respond(self, writer, method, status, body, content_type="text/plain; charset=utf-8"):
        writer.write(response_head(status, len(body), content_type))
        if method != "HEAD":
            writer.write(body)
        await asyncio.wait_for(writer.drain(), self.config.send_timeout)


def response_head(status, length, content_type, extra=""):
    return ("HTTP/1.1 %d %s\r\nDate: %s\r\nServer: %s\r\nContent-Type: %s\r\nContent-Length: %d\r\n"
            "Cache-Control: no-store\r\n%sConnection: close\r\n\r\n"
            % (status, REASONS.get(status, "Error"), email.utils.formatdate(usegmt=True),
               PRODUCT.decode(), content_type, length, extra)).encode("latin-1")


def loggable(data):
    """Request bytes as one escaped printable line of at most 200 bytes: a client must not be able
    to forge log lines or send terminal controls to whoever reads the log."""
    return repr(data[:200])[2:-1]


def log(text):
    print(text, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# Start-up.

def parse_listen(text):
    """("host", port) from HOST:PORT or [V6]:PORT."""
    match = re.fullmatch(r"\[([0-9A-Fa-f:.]+)\]:([0-9]{1,5})|([^:\[\]]+):([0-9]{1,5})", text)
    if not match:
        raise argparse.ArgumentTypeError("expected HOST:PORT or [ADDRESS]:PORT, got %r" % text)
    host = match.group(1) or match.group(3)
    port = int(match.group(2) or match.group(4))
    if port > 65535:
        raise argparse.ArgumentTypeError("port out of range in %r" % text)
    return host, port


def positive(kind):
    def convert(text):
        value = kind(text)
        if value <= 0:
            raise argparse.ArgumentTypeError("must be above 0")
        return value
    return convert


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--listen", action="append", type=parse_listen, metavar="HOST:PORT",
                   help="address to listen on, repeatable (default 0.0.0.0:80)")
    p.add_argument("--trusted-proxy", action="append", default=[], metavar="ADDRESS[/BITS]",
                   help="reverse proxy whose X-Forwarded-For is believed, repeatable")
    p.add_argument("--releases", metavar="DIR", help="folder of installers named WexaShare-<version>.exe")
    p.add_argument("--test-timeout", type=positive(float), default=8.0,
                   help="seconds a connectivity test may take in all (default 8)")
    p.add_argument("--rate-limit", type=positive(int), default=6,
                   help="connectivity tests per caller within the window (default 6)")
    p.add_argument("--rate-window", type=positive(float), default=60.0,
                   help="seconds of the rate-limit window (default 60)")
    p.add_argument("--max-tests", type=positive(int), default=64, help="tests running at once (default 64)")
    p.add_argument("--max-connections", type=positive(int), default=1000,
                   help="connections served at once; more are refused (default 1000)")
    p.add_argument("--header-timeout", type=positive(float), default=10.0,
                   help="seconds to receive a request head (default 10)")
    p.add_argument("--send-timeout", type=positive(float), default=60.0,
                   help="seconds a stalled send may wait (default 60)")
    config = p.parse_args(argv)
    config.listen = config.listen or [("0.0.0.0", 80)]
    try:
        for proxy in config.trusted_proxy:
            ipaddress.ip_network(proxy, strict=False)
    except ValueError as error:
        p.error("--trusted-proxy: %s" % error)
    return config


async def main(argv):
    config = parse_args(argv)
    service = Service(config)
    servers = []
    for host, port in config.listen:
        servers.append(await asyncio.start_server(service.handle, host, port, limit=MAX_HEAD,
                                                  reuse_address=True, backlog=256))
        log("listening on %s:%d" % (host, port))
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    for server in servers:
        server.close()
    log("stopped")


if __name__ == "__main__":
    try:
        asyncio.run(main(sys.argv[1:]))
    except OSError as error:
        log("cannot start: %s" % error)
        sys.exit(1)
