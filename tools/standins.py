"""The whole system on one machine: the portal stand-in, one or more terminal stand-ins and the
bridge, each a real process on its own loopback address, wired the way a school wires them.

Used by the demo (tools/demo.py) and by the end-to-end tests (tests/e2e). Every process runs in
a sandbox folder: the bridge gets its own PROGRAMFILES, HOME, XDG folders and a private copy of
its executable (so its picture folder lies in the sandbox too).
"""

import collections
import hashlib
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import urllib.request

TERMINAL_PASSWORD = "58317094"
SCALE = float(os.environ.get("PMRFACE_TIME_SCALE", "1"))  # sanitizer builds run slower


def take_binaries(argv):
    """The three programs that a process test gets as its first arguments, removed from
    `argv` so that unittest sees only its own: {} when they are missing."""
    if len(argv) < 4:
        return {}
    names = ("pmrface", "terminal_sim", "portal_sim")
    binaries = dict(zip(names, (os.path.abspath(a) for a in argv[1:4])))
    del argv[1:4]
    return binaries


def wait_until(predicate, timeout, interval=0.05):
    """True once predicate() is true; False when `timeout` seconds (scaled) pass first."""
    deadline = time.monotonic() + timeout * SCALE
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


def http_get(url, timeout=10):
    with urllib.request.urlopen(url, timeout=timeout) as reply:
        return reply.read()


def http_post_form(url, fields, timeout=10):
    body = urllib.parse.urlencode(fields).encode("ascii")
    request = urllib.request.Request(url, data=body, headers={
        "Content-Type": "application/x-www-form-urlencoded"})
    with urllib.request.urlopen(request, timeout=timeout) as reply:
        return reply.read()


class Process:
    """A child process whose output lines are kept (and optionally echoed) as they come."""

    def __init__(self, name, argv, env=None, cwd=None, echo=None, stdin=False, quiet=False):
        """quiet: the output is discarded unread (load runs, where reading it would cost
        this process more than the child's work)."""
        self.name = name
        self.lines = []
        self._cond = threading.Condition()
        self._echo = echo
        self.proc = subprocess.Popen(
            argv, env=env, cwd=cwd, stdout=subprocess.DEVNULL if quiet else subprocess.PIPE,
            stderr=subprocess.STDOUT, stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
            text=True, encoding="utf-8", errors="replace", start_new_session=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout or ():
            line = raw.rstrip("\n")
            with self._cond:
                self.lines.append(line)
                self._cond.notify_all()
            if self._echo:
                self._echo(self.name, line)
        with self._cond:
            self._cond.notify_all()

    def alive(self):
        return self.proc.poll() is None

    def find(self, pattern, start=0):
        """Index and line of the first line from `start` that matches the regular expression."""
        regex = re.compile(pattern)
        with self._cond:
            for i in range(start, len(self.lines)):
                if regex.search(self.lines[i]):
                    return i, self.lines[i]
        return None

    def count(self, pattern):
        regex = re.compile(pattern)
        with self._cond:
            return sum(1 for line in self.lines if regex.search(line))

    def wait_for(self, pattern, timeout=20, start=0):
        """The first matching line from index `start`; raises with the recent output when
        none comes within `timeout` seconds (scaled) or the process has ended."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout * SCALE
        next_index = start
        with self._cond:
            while True:
                for i in range(next_index, len(self.lines)):
                    if regex.search(self.lines[i]):
                        return self.lines[i]
                next_index = max(next_index, len(self.lines))
                left = deadline - time.monotonic()
                ended = self.proc.poll() is not None and not self._reader.is_alive()
                if left <= 0 or ended:
                    tail = "\n".join(self.lines[-30:])
                    raise TimeoutError(f"{self.name}: no line matching {pattern!r}; last output:"
                                       f"\n{tail}")
                self._cond.wait(min(left, 0.5))

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def stop(self, timeout=10):
        """SIGTERM (then SIGKILL after `timeout`); returns the exit code."""
        if self.proc.poll() is None:
            try:
                self.proc.send_signal(signal.SIGTERM)
                self.proc.wait(timeout * SCALE)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self._reader.join(5)
        self._close_pipes()
        return self.proc.returncode

    def _close_pipes(self):
        for pipe in (self.proc.stdin, self.proc.stdout):
            if pipe:
                try:
                    pipe.close()
                except OSError:
                    pass


def _read_ready(path, timeout, proc):
    if not wait_until(lambda: os.path.exists(path) or not proc.alive(), timeout):
        raise TimeoutError(f"{proc.name} did not become ready")
    if not os.path.exists(path):
        raise RuntimeError(f"{proc.name} exited early:\n" + "\n".join(proc.lines[-30:]))
    with open(path) as f:
        return f.read().split()


def _share_text(share):
    # Fixed notation: the stand-in takes no exponent ("1e-05").
    return f"{share:.6f}"


class Portal(Process):
    """portal_sim; `fail_uploads` is the share of upload requests it answers 500 from the
    start (see portal_sim.h)."""

    def __init__(self, binary, work, address="127.0.0.1", port=0, hid="HID-DEMO-1",
                 sp="SP-DEMO", echo=None, fail_uploads=0.0):
        self.store = os.path.join(work, "portal-store")
        os.makedirs(self.store, exist_ok=True)
        ready = os.path.join(work, "portal.ready")
        argv = [binary, "--listen", f"{address}:{port}", "--store", self.store, "--hid", hid,
                "--sp", sp, "--ready", ready]
        if fail_uploads:
            argv += ["--fail-uploads", _share_text(fail_uploads)]
        super().__init__("portal", argv, echo=echo)
        self.address = address
        self.port = int(_read_ready(ready, 20, self)[0])
        self.host = f"{address}:{self.port}"
        self.hid, self.sp = hid, sp

    def url(self, path):
        return f"http://{self.host}{path}"

    def stats(self):
        return json.loads(http_get(self.url("/sim/stats")))

    def uploads(self):
        """(number, pid, taketime, bytes, hash) of every stored upload."""
        text = http_get(self.url("/sim/uploads")).decode("utf-8")
        rows = []
        for line in text.splitlines():
            parts = line.split(" ")
            if len(parts) >= 5:
                # The take time holds a space: number, pid, date, time, bytes, hash.
                rows.append((parts[0], parts[1], " ".join(parts[2:-2]), int(parts[-2]),
                             parts[-1]))
        return rows

    def set_status(self, code):
        http_get(self.url(f"/sim/status?code={code}"))

    def set_fail_share(self, share):
        http_get(self.url(f"/sim/fail?share={_share_text(share)}"))


class Terminal(Process):
    def __init__(self, binary, work, address, rate=0.0, events=0, heartbeat=0, mix=None,
                 picture_bytes=None, seed=None, ftp_port=0, echo=None, extra=()):
        self.address = address
        self.pictures = os.path.join(work, f"terminal-{address}")
        os.makedirs(self.pictures, exist_ok=True)
        ready = os.path.join(work, f"terminal-{address}.ready")
        if os.path.exists(ready):
            os.unlink(ready)
        argv = [binary, "--address", address, "--http-port", "8090", "--ftp-port", str(ftp_port),
                "--pictures", self.pictures, "--rate", str(rate), "--events", str(events),
                "--heartbeat", str(heartbeat), "--ready", ready]
        if mix:
            argv += ["--mix", mix]
        if picture_bytes:
            argv += ["--picture-bytes", str(picture_bytes)]
        if seed is not None:
            argv += ["--seed", str(seed)]
        argv += list(extra)
        super().__init__(f"terminal[{address}]", argv, echo=echo)
        ports = _read_ready(ready, 20, self)
        self.http_port, self.ftp_port = int(ports[0]), int(ports[1])

    def url(self, path):
        return f"http://{self.address}:{self.http_port}{path}"

    def stats(self):
        return json.loads(http_get(self.url("/sim/stats")))

    def add_events(self, n):
        http_get(self.url(f"/sim/events?add={n}"))

    def pause(self, on):
        http_get(self.url(f"/sim/pause?on={1 if on else 0}"))

    def register_callback(self, callback_url):
        """What the school's IT does by hand for a terminal the bridge does not bind itself."""
        http_post_form(self.url("/setIdentifyCallBack"),
                       [("pass", TERMINAL_PASSWORD), ("callbackUrl", callback_url)])


class Bridge(Process):
    """pmrface, headless, run from a private copy of the executable inside `work`."""

    def __init__(self, binary, work, address, portal_host, args=(), echo=None, ui="headless",
                 extra_env=None, name="bridge", config=None, quiet=False):
        self.work = work
        self.bin_dir = os.path.join(work, "bin")
        os.makedirs(self.bin_dir, exist_ok=True)
        self.binary = os.path.join(self.bin_dir, "pmrface")
        if not os.path.exists(self.binary):
            shutil.copy2(binary, self.binary)
        self.pic_dir = os.path.join(self.bin_dir, "pic")
        self._hash_cache = {}  # (name, size, mtime) -> fnv1a64
        self.program_files = os.path.join(work, "pf")
        self.install_dir = os.path.join(self.program_files, "kvt")
        self.ini_path = os.path.join(self.install_dir, "pmrface.ini")
        if config:
            # An installation configured before: the settings the bridge keeps in its INI file.
            os.makedirs(self.install_dir, exist_ok=True)
            lines = ["[JDQFACE]"] + [f"{k}={v}" for k, v in config.items()]
            with open(self.ini_path, "wb") as f:
                f.write(("\r\n".join(lines) + "\r\n").encode("gbk"))
        home = os.path.join(work, "home")
        runtime = os.path.join(work, "run")
        for d in (home, runtime, os.path.join(home, ".config"), os.path.join(home, ".local")):
            os.makedirs(d, mode=0o700, exist_ok=True)
        env = dict(os.environ)
        env.update({
            "PROGRAMFILES": self.program_files, "HOME": home, "XDG_RUNTIME_DIR": runtime,
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_DATA_HOME": os.path.join(home, ".local", "share"),
            "PMRFACE_UI": ui, "PMRFACE_BIND_ADDRESS": address, "PMRFACE_HOST_ADDRESS": address,
            "PMRFACE_PORTAL_HOST": portal_host,
            # The terminal's clock, like the school PC's, runs in UTC+8.
            "TZ": os.environ.get("TZ", "Asia/Shanghai"),
        })
        if ui == "headless":
            env.pop("DISPLAY", None)
            env.pop("WAYLAND_DISPLAY", None)
        env.update(extra_env or {})
        self.env = env
        self.ui = ui
        self.address = address
        self.callback_url = f"http://{address}:8090/index.html"
        # Started from its own folder, as from its desktop entry: the first start copies the
        # program file it finds there into the install folder.
        super().__init__(name, [self.binary, *args], env=env, cwd=self.bin_dir, echo=echo,
                         stdin=True, quiet=quiet)

    def wait_listening(self, timeout=20):
        import socket

        def up():
            try:
                socket.create_connection((self.address, 8090), timeout=1).close()
                socket.create_connection(("127.0.0.1", 8091), timeout=1).close()
                return True
            except OSError:
                return False
        if not wait_until(lambda: up() or not self.alive(), timeout) or not self.alive():
            raise RuntimeError("bridge did not start listening:\n" + "\n".join(self.lines[-30:]))

    def picture_names(self):
        """Names of the stored pictures, without temporary files of fetches under way."""
        if not os.path.isdir(self.pic_dir):
            return []
        return [name for name in os.listdir(self.pic_dir) if name.lower().endswith(".jpg")]

    def pictures(self):
        """Stored pictures (name -> bytes)."""
        result = {}
        for name in self.picture_names():
            with open(os.path.join(self.pic_dir, name), "rb") as f:
                result[name] = f.read()
        return result

    def picture_hashes(self):
        """fnv1a64 of every stored picture, by name. Hashing is slow in Python, so a file is
        hashed again only when its size or time changed."""
        result = {}
        for name in self.picture_names():
            path = os.path.join(self.pic_dir, name)
            st = os.stat(path)
            key = (name, st.st_size, st.st_mtime_ns)
            if key not in self._hash_cache:
                with open(path, "rb") as f:
                    self._hash_cache[key] = fnv1a64(f.read())
            result[name] = self._hash_cache[key]
        return result

    def set_terminal(self, address):
        """The operator sets the terminal's address in the settings dialog (识颜台设置)."""
        mark = len(self.lines)
        self.send("menu N2")
        self.wait_for(r"^inputbox: ", timeout=10, start=mark)
        self.send("answer " + address)

    def quit(self, timeout=10):
        """Exit through the menu (退出), as the operator does; returns the exit code. A desktop
        window reads no commands: it gets SIGTERM."""
        if self.ui != "headless":
            return self.stop(timeout)
        try:
            self.send("menu N8")
        except (BrokenPipeError, ValueError):
            pass
        try:
            self.proc.wait(timeout * SCALE)
        except subprocess.TimeoutExpired:
            return self.stop()
        self._reader.join(5)
        self._close_pipes()
        return self.proc.returncode


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def fnv1a64(data):
    # Constants in locals: twice as fast, which counts for a soak's thousand pictures.
    h, prime, mask = 0xcbf29ce484222325, 0x100000001b3, 0xFFFFFFFFFFFFFFFF
    for b in data:
        h = ((h ^ b) * prime) & mask
    return h


def lost_events(summary):
    """Events that did not make the whole road: unanswered callbacks, fetched pictures not
    stored, stored pictures not uploaded (or uploaded more than once)."""
    return (abs(summary["events_sent"] - summary["callbacks_answered"])
            + abs(summary["pictures_fetched"] - summary["pictures_stored"])
            + abs(summary["pictures_stored"] - summary["uploads_received"]))


class Rig:
    """Portal, terminals and bridge in one sandbox; `close()` stops them all."""

    def __init__(self, binaries, base="127.0.60", terminals=1, rate=0.0, events=0, heartbeat=0,
                 mix=None, picture_bytes=None, echo=None, work=None, keep=False, fail_uploads=0.0):
        self.binaries = binaries
        self.fail_uploads = fail_uploads
        self.base = base
        self.echo = echo
        self.keep = keep
        self.work = work or tempfile.mkdtemp(prefix="pmrface-rig.")
        self.bridge_address = f"{base}.1"
        self.portal = None
        self.terminals = []
        self.bridge = None
        self.terminal_options = dict(rate=rate, events=events, heartbeat=heartbeat, mix=mix,
                                     picture_bytes=picture_bytes)
        self.terminal_count = terminals

    def start(self, bind=True, hold_events=False, **bridge_options):
        """`hold_events`: the terminals are paused (Terminal.pause) until told otherwise."""
        self.portal = Portal(self.binaries["portal_sim"], self.work, address=self.bridge_address,
                             echo=self.echo, fail_uploads=self.fail_uploads)
        for i in range(self.terminal_count):
            self.terminals.append(self.start_terminal(i))
            if hold_events:
                self.terminals[-1].pause(True)
        self.start_bridge(**bridge_options)
        if bind:
            self.bind()
        return self

    def terminal_address(self, index):
        return f"{self.base}.{index + 2}"

    def start_terminal(self, index, **overrides):
        options = dict(self.terminal_options, **overrides)
        return Terminal(self.binaries["terminal_sim"], self.work, self.terminal_address(index),
                        seed=index + 1, echo=self.echo, **options)

    def start_bridge(self, args=(), **options):
        self.bridge = Bridge(self.binaries["pmrface"], self.work, self.bridge_address,
                             self.portal.host, args=args, echo=self.echo, **options)
        self.bridge.wait_listening()
        return self.bridge

    def bind(self):
        """The first terminal is bound by the bridge through the settings dialog; the others
        get the same callback address by hand, as a school with several terminals does."""
        if not self.terminals:
            return
        self.bridge.set_terminal(self.terminals[0].address)
        self.bridge.wait_for(re.escape(self.terminals[0].address) + ":", timeout=30)
        for t in self.terminals[1:]:
            t.register_callback(self.bridge.callback_url)

    def face_pictures_fetched(self):
        return sum(t.stats().get("ftp_retr", 0) for t in self.terminals)

    def summary(self):
        """Events sent and answered, pictures stored, uploads received and failed by the
        portal's fail share, ins calls."""
        sent = answered = retr = 0
        for t in self.terminals:
            try:
                s = t.stats()
            except OSError:
                continue
            sent += s.get("events_sent", 0)
            answered += s.get("events_answered", 0)
            retr += s.get("ftp_retr", 0)
        stored = len(self.bridge.picture_names()) if self.bridge else 0
        portal = self.portal.stats() if self.portal else {}
        ins = self.bridge.count(r"^script\[left\]: ins\(") if self.bridge else 0
        return {"events_sent": sent, "callbacks_answered": answered, "pictures_fetched": retr,
                "pictures_stored": stored, "uploads_received": portal.get("uploads", 0),
                "uploads_failed": portal.get("failed_uploads", 0), "ins_calls": ins}

    def upload_check(self):
        """Stored pictures against the portal's uploads, matched by their bytes (fnv1a64):
        lost (stored, never uploaded with these bytes), duplicates (uploaded more often than
        stored) and foreign (uploads whose bytes match no stored picture)."""
        stored = collections.Counter(self.bridge.picture_hashes().values())
        uploaded = collections.Counter(int(row[4], 16) for row in self.portal.uploads())
        extra = uploaded - stored
        return {"stored": sum(stored.values()), "uploaded": sum(uploaded.values()),
                "lost": sum((stored - uploaded).values()),
                "duplicates": sum(n for h, n in extra.items() if h in stored),
                "foreign": sum(n for h, n in extra.items() if h not in stored)}

    def problems(self, check=None):
        """What was lost or corrupted on the way, as texts (empty when nothing was): every
        event answered, every fetched picture stored once, every stored picture uploaded once
        and byte-exact. `check` is an upload_check() already made."""
        found = []
        summary = self.summary()
        if summary["callbacks_answered"] != summary["events_sent"]:
            found.append(f"{summary['events_sent'] - summary['callbacks_answered']} events not "
                         "answered")
        check = check or self.upload_check()
        if summary["pictures_fetched"] != check["stored"]:
            found.append(f"{summary['pictures_fetched']} pictures fetched but {check['stored']} "
                         "stored")
        if check["lost"] or check["duplicates"] or check["foreign"]:
            found.append(f"uploads differ from stored pictures: {check['stored']} stored, "
                         f"{check['uploaded']} uploaded, {check['lost']} never uploaded, "
                         f"{check['duplicates']} more than once, {check['foreign']} with bytes "
                         "of no stored picture")
        return found

    def wait_uploads_settled(self, timeout=60, stop_failing=False):
        """Until every stored picture has reached the portal with its own bytes; False when
        `timeout` seconds (scaled) pass first. The byte check waits for the counts to match.
        `stop_failing`: the portal stops failing uploads first, so that the wait shows whether
        every failed upload comes again, not whether its retries were lucky."""
        if stop_failing:
            self.portal.set_fail_share(0)

        def settled():
            if self.portal.stats().get("uploads", 0) < len(self.bridge.picture_names()):
                return False
            return self.upload_check()["lost"] == 0
        return wait_until(settled, timeout, interval=0.5)

    def close(self):
        codes = {}
        if self.bridge and self.bridge.alive():
            codes["bridge"] = self.bridge.quit()
        for t in self.terminals:
            codes[t.name] = t.stop()
        if self.portal:
            codes["portal"] = self.portal.stop()
        if not self.keep:
            shutil.rmtree(self.work, ignore_errors=True)
        return codes

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
