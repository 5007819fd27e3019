"""Shared pieces of the end-to-end tests and the demo: the sample game, the
maker and launcher runs (natively or under Wine), nginx and a fault-injecting
HTTP server on 127.0.0.1, and the checks on what landed on disk."""

import hashlib
import http.server
import json
import os
import random
import re
import shutil
import signal
import socketserver
import subprocess
import sys
import threading
import time
import urllib.parse

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _held_once(relative, pattern):
    """A value the repository holds in one place: the product GUID in the
    sources, the loopback ports in the script the test commands source."""
    with open(os.path.join(REPO, relative), encoding="utf-8") as f:
        return re.search(pattern, f.read(), re.M).group(1)


PRODUCT_GUID = _held_once("util/product.h", r'product_guid\[\] = L"([^"]+)"')
SESSION = os.path.join(".temp", PRODUCT_GUID)
PRIMARY_PORT = int(_held_once("scripts/test-hosts.sh", r"^TSL_PRIMARY_PORT=(\d+)"))
FALLBACK_PORT = int(_held_once("scripts/test-hosts.sh", r"^TSL_FALLBACK_PORT=(\d+)"))
SPARE_PORT = int(_held_once("scripts/test-hosts.sh", r"^TSL_SPARE_PORT=(\d+)"))


class StepFailed(Exception):
    pass


def check(condition, what):
    if not condition:
        raise StepFailed(what)


def sha1(path):
    h = hashlib.sha1()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            h.update(piece)
    return h.hexdigest()


def published_file(output, remote):
    """The file below output that an index entry's "r" (or a requested path
    below the base URL) names: the maker escapes what a URL cannot carry."""
    return os.path.join(output, *urllib.parse.unquote(remote).split("/"))


def tree(root):
    """Relative path (with '/') -> bytes digest, for every file below root."""
    out = {}
    for base, _, files in os.walk(root):
        for name in files:
            path = os.path.join(base, name)
            out[os.path.relpath(path, root).replace(os.sep, "/")] = sha1(path)
    return out


# ---------------------------------------------------------------- the sample game

def write_sample_game(input_dir, client_exe, edition=1):
    """The built-in sample: a stub client, data of several kinds, names with
    blanks and capitals. `edition` 2 changes a few files, as a new release would."""
    rng = random.Random(20261208)
    sample = os.path.join(REPO, "tests", "sample_game")
    if os.path.isdir(input_dir):
        shutil.rmtree(input_dir)
    shutil.copytree(sample, input_dir)
    os.makedirs(os.path.join(input_dir, "client"), exist_ok=True)
    shutil.copyfile(client_exe, os.path.join(input_dir, "client", "Client.exe"))

    def put(rel, data):
        path = os.path.join(input_dir, *rel.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    # Textures compress well, sounds do not: both sides of the packing rule.
    texture = bytes((x * 7 + y) & 0xFF for y in range(256) for x in range(1024))
    put("data/Textures/Stone Wall.dds", b"DDS " + texture * 2)
    put("data/Textures/Grass.dds", b"DDS " + bytes(reversed(texture)) * 2)
    put("data/Sounds/Wind Loop.ogg", b"OggS" + bytes(rng.getrandbits(8) for _ in range(300000)))
    words = ["hill", "river", "tower", "gate", "road", "forest", "ruin", "camp"]
    level = "\n".join(" ".join(rng.choice(words) for _ in range(12)) for _ in range(4000))
    put("data/Maps/Lowlands.map", level.encode())
    if edition >= 2:
        put("data/Maps/Lowlands.map", (level + "\nnew quest: the bridge\n").encode())
        put("data/Maps/Highlands.map", level[::-1].encode())
        put("data/Textures/Grass.dds", b"DDS " + texture[::-1] * 2 + b"v2")
        os.remove(os.path.join(input_dir, "manual", "Old Notes.txt"))


# ---------------------------------------------------------------- running programs

def merged_env(base, changes):
    """base with changes applied; a value of None removes the variable."""
    e = dict(base)
    for k, v in (changes or {}).items():
        if v is None:
            e.pop(k, None)
        else:
            e[k] = v
    return e


class Runner:
    """Runs the program natively or under Wine (wine_run = scripts/wine-run.sh)."""

    def __init__(self, exe_name, wine_run=None, env=None):
        self.exe_name = exe_name
        self.wine_run = wine_run
        self.env = merged_env(os.environ, env)

    def command(self, exe, args):
        if self.wine_run:
            return [self.wine_run, exe] + list(args)
        return [exe] + list(args)

    def run(self, exe, args=(), timeout=300, env=None, cwd=None, output_file=None):
        """With output_file, standard output and error both go to that file
        and come back as the error text: the run then lasts as long as the
        program, whoever else inherited its output (Wine's own processes)."""
        e = merged_env(self.env, env)
        command = self.command(exe, args)
        cwd = cwd or os.path.dirname(exe)
        started = time.time()
        if output_file is None:
            p = subprocess.run(command, cwd=cwd, env=e, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               timeout=timeout)
            return p.returncode, p.stdout.decode("utf-8", "replace"), \
                p.stderr.decode("utf-8", "replace"), time.time() - started
        with open(output_file, "w+b") as out:
            code = subprocess.run(command, cwd=cwd, env=e, stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=timeout).returncode
            took = time.time() - started
            out.seek(0)
            return code, "", out.read().decode("utf-8", "replace"), took

    def start(self, exe, args=(), env=None):
        e = merged_env(self.env, env)
        return subprocess.Popen(self.command(exe, args), cwd=os.path.dirname(exe), env=e,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                start_new_session=True)


def publish(maker_runner, maker_exe, maker_dir, input_dir=None, client_hosts=None):
    """Runs the patch maker in maker_dir (creating config.json on the first
    run) and returns the new game update number."""
    os.makedirs(maker_dir, exist_ok=True)
    exe = os.path.join(maker_dir, os.path.basename(maker_exe))
    if not os.path.exists(exe) or sha1(exe) != sha1(maker_exe):
        shutil.copyfile(maker_exe, exe)
        os.chmod(exe, 0o755)
    config = os.path.join(maker_dir, "config.json")
    if not os.path.exists(config):
        code, out, err, _ = maker_runner.run(exe, ["-patchmaker"])
        check(code == 0 and os.path.exists(config),
              "maker did not create config.json (exit %d): %s %s" % (code, out, err))
    if client_hosts is not None:
        with open(config, encoding="utf-8") as f:
            doc = json.load(f)
        doc["client"]["hosts"] = client_hosts
        # A new configuration carries a fresh GUID; the launcher accepts only its own.
        doc["client"]["guid"] = PRODUCT_GUID
        with open(config, "w", encoding="utf-8") as f:
            f.write(json.dumps(doc, indent=4, sort_keys=True) + "\n")
    if input_dir and os.path.abspath(input_dir) != os.path.join(maker_dir, "input"):
        target = os.path.join(maker_dir, "input")
        if os.path.isdir(target):
            shutil.rmtree(target)
        shutil.copytree(input_dir, target)
    code, out, err, _ = maker_runner.run(exe, ["-patchmaker"])
    check(code == 1, "maker failed (exit %d): %s %s" % (code, out, err))
    with open(os.path.join(maker_dir, "output", "version.json")) as f:
        return json.load(f)["gameupdate"]


def read_index(output_dir, number):
    with open(os.path.join(output_dir, str(number), "index.json"), encoding="utf-8") as f:
        return json.load(f)


def write_index(output_dir, number, index, pack_with=None):
    """Rewrites an index (and drops its packed form, so the plain one is used)."""
    path = os.path.join(output_dir, str(number), "index.json")
    with open(path, "w", encoding="utf-8") as f:
        f.write(json.dumps(index, separators=(",", ":"), sort_keys=True) + "\n")
    packed = path + ".lzma2"
    if os.path.exists(packed):
        os.remove(packed)


# ---------------------------------------------------------------- HTTP hosts

class Nginx:
    """nginx serving `root` below /tsl/ on 127.0.0.1:port, with an access log."""

    def __init__(self, work, port, root, rate=None):
        self.dir = os.path.join(work, "nginx-%d" % port)
        os.makedirs(os.path.join(self.dir, "logs"), exist_ok=True)
        self.port = port
        self.root = root
        self.access_log = os.path.join(self.dir, "logs", "access.log")
        conf = os.path.join(self.dir, "nginx.conf")
        with open(conf, "w") as f:
            f.write("""daemon off;
worker_processes 1;
pid %(dir)s/nginx.pid;
error_log %(dir)s/logs/error.log;
events { worker_connections 512; }
http {
    log_format timed '$remote_addr - - [$time_local] "$request" $status $body_bytes_sent '
                     '$msec $request_time $connection "$http_via"';
    access_log %(dir)s/logs/access.log timed;
    client_body_temp_path %(dir)s/tmp;
    proxy_temp_path %(dir)s/tmp;
    fastcgi_temp_path %(dir)s/tmp;
    uwsgi_temp_path %(dir)s/tmp;
    scgi_temp_path %(dir)s/tmp;
    types { application/octet-stream lzma2; application/json json; }
    default_type application/octet-stream;
    server {
        listen 127.0.0.1:%(port)d;
        location /tsl/ { alias %(root)s/; %(rate)s }
    }
}
""" % {"dir": self.dir, "port": port, "root": os.path.abspath(root),
       "rate": ("limit_rate %s;" % rate) if rate else ""})
        os.makedirs(os.path.join(self.dir, "tmp"), exist_ok=True)
        self.process = subprocess.Popen(["nginx", "-p", self.dir, "-c", conf],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wait_for_port(port, self.process)

    def requests(self):
        if not os.path.exists(self.access_log):
            return []
        paths = []
        with open(self.access_log) as f:
            for line in f:
                parts = line.split('"')
                if len(parts) > 2:
                    request = parts[1].split(" ")
                    status = parts[2].split()[0]
                    if len(request) >= 2:
                        paths.append((request[1], int(status)))
        return paths

    def transfers(self):
        """(path, status, body bytes, start, end, via, connection) of each
        request, times in seconds since the epoch (start: when nginx read
        the request; end: when it handed the last byte to its socket)."""
        out = []
        if not os.path.exists(self.access_log):
            return out
        with open(self.access_log) as f:
            for line in f:
                parts = line.split('"')
                if len(parts) < 5:
                    continue
                request = parts[1].split(" ")
                status, sent, end, took, connection = parts[2].split()
                if len(request) >= 2:
                    out.append((request[1], int(status), int(sent), float(end) - float(took), float(end),
                                parts[3], int(connection)))
        return out

    def clear_log(self):
        open(self.access_log, "w").close()
        self.process.send_signal(signal.SIGUSR1)  # reopen the log
        time.sleep(0.2)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class LinkProxy:
    """tests/netem/link_proxy.py on `port` (0: any free one) in front of
    127.0.0.1:target: a delay each way, a shared bandwidth (0: none), and
    optionally a host that trickles each response at `trickle` bytes/s."""

    SCRIPT = os.path.join(REPO, "tests", "netem", "link_proxy.py")

    def __init__(self, work, port, target, delay_ms=0.0, rate_mbit=0.0, trickle=0):
        self.stats_file = os.path.join(work, "link-stats-%d-%d.json" % (port, target))
        command = [sys.executable, self.SCRIPT, "--listen", str(port), "--target", "127.0.0.1:%d" % target,
                   "--delay-ms", str(delay_ms), "--stats", self.stats_file]
        if rate_mbit:
            command += ["--rate-mbit", str(rate_mbit)]
        if trickle:
            command += ["--trickle", str(trickle)]
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line.startswith("listening on "):
            self.process.wait()
            raise StepFailed("link_proxy.py did not start on port %d" % port)
        self.port = int(line.rsplit(":", 1)[1])
        self.records = None

    def stop(self):
        """Ends the proxy and returns its per-connection records."""
        if self.records is None:
            if self.process.poll() is None:
                self.process.send_signal(signal.SIGTERM)
                self.process.wait(30)
            self.process.stdout.close()
            try:
                with open(self.stats_file) as f:
                    self.records = json.load(f)["connections"]
            except (OSError, ValueError):
                self.records = []
        return self.records


class AuthProxy:
    """tests/netem/auth_proxy.sh: tinyproxy on 127.0.0.1:port asking for
    Basic authentication as user:password."""

    SCRIPT = os.path.join(REPO, "tests", "netem", "auth_proxy.sh")

    def __init__(self, work, port, user, password):
        self.dir = os.path.join(work, "auth-proxy")
        self.port = port
        subprocess.run([self.SCRIPT, "start", self.dir, str(port), user, password], check=True, timeout=60)

    def requests(self):
        """The URLs asked through the proxy, in order."""
        try:
            with open(os.path.join(self.dir, "tinyproxy.log"), errors="replace") as f:
                return re.findall(r"\]: Request \(file descriptor \d+\): [A-Z]+ (\S+)", f.read())
        except OSError:
            return []

    def stop(self):
        subprocess.run([self.SCRIPT, "stop", self.dir], timeout=60)


def wait_for_port(port, process=None, timeout=10):
    import socket
    deadline = time.time() + timeout
    while time.time() < deadline:
        if process is not None and process.poll() is not None:
            raise StepFailed("server on port %d exited: %s" % (port, process.stderr.read().decode()))
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    raise StepFailed("nothing listens on port %d" % port)


class FaultServer:
    """A host that misbehaves in ways nginx will not: every request answered
    with `status`, or files served from `root` with the body of a path ending
    in `hold` sent a byte at a time until release() (a download that lasts as
    long as a test needs, however slowly the programs start), or the first
    request for a path ending in `drop_once` cut off after half of its body;
    Range requests are answered with 206 unless `ranges` is false. `sent`
    counts the body bytes sent for each path; `holding` is set once a held
    body has begun."""

    def __init__(self, port, status=None, root=None, hold=None, drop_once=None, ranges=True):
        self.log = []
        self.times = []
        self.ranges_asked = []
        self.sent = {}
        self.dropped = set()
        self.holding = threading.Event()
        self.released = threading.Event()
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def reply(self, code, body=b"", headers=()):
                self.send_response(code)
                self.send_header("Content-Length", str(len(body)))
                for k, v in headers:
                    self.send_header(k, v)
                self.end_headers()
                self.wfile.write(body)

            def do_GET(self):
                owner.log.append(self.path)
                owner.times.append(time.time())
                if owner.status:
                    self.reply(owner.status, b"error")
                    return
                rel = self.path[len("/tsl/"):] if self.path.startswith("/tsl/") else self.path
                path = os.path.join(owner.root, *urllib.parse.unquote(rel).split("/"))
                if not os.path.isfile(path):
                    self.reply(404)
                    return
                with open(path, "rb") as f:
                    data = f.read()
                start = 0
                asked = self.headers.get("Range")
                owner.ranges_asked.append((self.path, asked))
                m = re.match(r"bytes=(\d+)-$", asked or "")
                if owner.ranges and m:
                    start = int(m.group(1))
                    if start >= len(data):
                        self.reply(416, headers=[("Content-Range", "bytes */%d" % len(data))])
                        return
                    self.send_response(206)
                    self.send_header("Content-Range", "bytes %d-%d/%d" % (start, len(data) - 1, len(data)))
                else:
                    self.send_response(200)
                self.send_header("Content-Length", str(len(data) - start))
                self.end_headers()
                end = len(data)
                if owner.drop_once and rel.endswith(owner.drop_once) and rel not in owner.dropped:
                    owner.dropped.add(rel)
                    end = start + (len(data) - start) // 2
                piece = 256 << 10
                try:
                    if owner.hold and rel.endswith(owner.hold):
                        owner.holding.set()
                        # A byte now and then: the client's low-speed limit
                        # must not end the transfer while it is held.
                        while not owner.released.wait(0.2) and start < end - 1:
                            self.wfile.write(data[start:start + 1])
                            self.wfile.flush()
                            owner.sent[self.path] = owner.sent.get(self.path, 0) + 1
                            start += 1
                    for i in range(start, end, piece):
                        chunk = data[i:min(i + piece, end)]
                        self.wfile.write(chunk)
                        self.wfile.flush()
                        owner.sent[self.path] = owner.sent.get(self.path, 0) + len(chunk)
                except (BrokenPipeError, ConnectionResetError):
                    pass

        self.status = status
        self.root = root
        self.hold = hold
        self.drop_once = drop_once
        self.ranges = ranges
        socketserver.ThreadingTCPServer.allow_reuse_address = True
        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", port), Handler)
        self.server.daemon_threads = True
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def first_time(self, path):
        return self.times[self.log.index(path)]

    def release(self):
        self.released.set()

    def stop(self):
        self.release()
        self.server.shutdown()
        self.server.server_close()


# ---------------------------------------------------------------- a Wine prefix of its own

class WinePrefixCopy:
    """A copy of the shared Wine prefix for a test that changes its registry:
    the shared one stays as it was even when the test is killed. The
    programs and fonts are hard links (Wine never writes them once the
    prefix is set up), everything else a copy. stop() ends its wineserver
    and removes it."""

    KEPT_AS_LINKS = (".dll", ".exe", ".drv", ".sys", ".ocx", ".cpl", ".acm", ".ax", ".tlb", ".ttf")

    def __init__(self, wine_run, path):
        self.wine_run = wine_run
        self.path = path
        shared = os.environ.get("WINEPREFIX") or os.environ.get("TSL_WINEPREFIX") or \
            os.path.join(REPO, "build", "wineprefix")
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Makes the shared prefix when this test runs first.
        subprocess.run([wine_run, "cmd", "/c", "exit"], env=dict(os.environ, WINEPREFIX=shared),
                       timeout=600, **quiet)

        def link_or_copy(src, dst):
            if src.lower().endswith(self.KEPT_AS_LINKS):
                os.link(src, dst)
            else:
                shutil.copy2(src, dst)
        if os.path.isdir(path):
            shutil.rmtree(path)
        os.makedirs(path)
        for name in os.listdir(shared):
            src, dst = os.path.join(shared, name), os.path.join(path, name)
            if os.path.islink(src) or name == "dosdevices":
                shutil.copytree(src, dst, symlinks=True) if os.path.isdir(src) else shutil.copy2(src, dst)
            elif os.path.isdir(src):
                shutil.copytree(src, dst, symlinks=True, copy_function=link_or_copy)
            elif name.endswith(".reg") or name.startswith("."):
                shutil.copy2(src, dst)
        self.env = dict(os.environ, WINEPREFIX=path)

    def run(self, *args):
        return subprocess.run([self.wine_run] + list(args), env=self.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=300)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(["wineserver", "-w"], env=self.env, stderr=subprocess.DEVNULL, timeout=60)
        shutil.rmtree(self.path, ignore_errors=True)


# ---------------------------------------------------------------- a small volume

def mounts_below(path):
    """Mount points at or below path, deepest first."""
    path = os.path.realpath(path)
    found = []
    with open("/proc/self/mounts") as f:
        for line in f:
            point = line.split()[1].replace("\\040", " ")
            if point == path or point.startswith(path + os.sep):
                found.append(point)
    return sorted(found, key=len, reverse=True)


def unmount_below(path):
    """Undoes what small_volume left behind when a run was killed inside it."""
    for point in mounts_below(path):
        subprocess.run(["umount", "-l", point], stderr=subprocess.DEVNULL)


class small_volume:
    """A tmpfs of `size` bytes mounted at `path` for the length of a with
    block and unmounted after it, also when the block fails. Needs root;
    `mounted` is false where the machine does not allow the mount."""

    def __init__(self, path, size):
        self.path = path
        self.size = size
        self.mounted = False

    def __enter__(self):
        os.makedirs(self.path, exist_ok=True)
        if os.geteuid() == 0:
            r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d,mode=0755" % self.size,
                                "tessaly-e2e", self.path], stderr=subprocess.PIPE)
            self.mounted = r.returncode == 0
        return self

    def __exit__(self, *exc):
        if self.mounted:
            subprocess.run(["umount", self.path], check=False)
            if self.path in mounts_below(self.path):
                subprocess.run(["umount", "-l", self.path], check=False)
        return False


# ---------------------------------------------------------------- the installation

def client_records(game_dir):
    path = os.path.join(game_dir, "client", "client-record.jsonl")
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def wait_for(predicate, timeout, what):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return
        time.sleep(0.2)
    raise StepFailed("timed out waiting for " + what)


def installed_matches(game_dir, input_dir, ignore=("client/client-record.jsonl",)):
    want = tree(input_dir)
    have = {k: v for k, v in tree(game_dir).items()
            if not k.startswith(".temp/") and k not in ignore}
    missing = sorted(k for k in want if have.get(k) != want[k])
    return missing
