#!/usr/bin/python3
"""Measures serial terminal windows side by side on one X server (bench/compare runs it).

Each round starts every program once, in turn, so load changes spread over all of
them; the table shows medians. See bench/README.md for what each column means.
Needs python3-xlib, xdotool and an X server in DISPLAY without a window manager.
"""

import argparse
import fcntl
import os
import pty
import select
import signal
import statistics
import subprocess
import sys
import termios
import time
import tty

try:
    from Xlib import X, display, protocol
except ImportError:
    # --help needs no X library: bench/compare answers it before installing anything.
    if not {"-h", "--help"} & set(sys.argv[1:]):
        raise

MIB = 1 << 20
TICK = os.sysconf("SC_CLK_TCK")


class Program:
    """How to start one program and how to make it open the pseudo-terminal."""

    def __init__(self, name, argv, open_how, env=None):
        self.name = name
        self.argv = argv  # function (slave path, link path) -> argv
        self.open_how = open_how  # None: no port; "start": opens it itself; a function (window id)
        self.env = env or {}


def click(x, y):
        # A click, as a user opens the port; it leaves the window without keyboard focus (there
    # is no window manager to give it), so no text cursor blinks during the idle measurement.
    # The pointer then leaves the window, so that no tooltip appears.
    def act(win):
        geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", str(win)],
                                  check=True, capture_output=True, text=True).stdout
        g = dict(line.split("=", 1) for line in geometry.split())
        subprocess.run(["xdotool", "mousemove", "--sync", str(int(g["X"]) + x), str(int(g["Y"]) + y),
                        "click", "1", "mousemove", "--sync", "1279", "1023"], check=True)
    return act


def cpu_ticks(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime of every thread, living or ended


def task_ns_and_switches(pid):
    """Run time in ns (schedstat) and context switches, summed over the living threads."""
    ns = switches = 0
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            ns += int(open(f"/proc/{pid}/task/{tid}/schedstat").read().split()[0])
            for line in open(f"/proc/{pid}/task/{tid}/status"):
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    switches += int(line.split()[1])
        except OSError:
            pass
    return ns, switches


def status_field(pid, key):
    for line in open(f"/proc/{pid}/status"):
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return None


def holds(pid, path):
    real = os.path.realpath(path)
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}") == real:
                    return True
            except OSError:
                pass
    except OSError:
        pass
    return False


class Screen:
    """The watcher's own X connection: window maps and _NET_WM_PING answers arrive on the root."""

    def __init__(self):
        self.d = display.Display()
        self.root = self.d.screen().root
        # Qt answers a ping to the root with StructureNotify, GTK with SubstructureNotify.
        self.root.change_attributes(event_mask=X.SubstructureNotifyMask | X.StructureNotifyMask)
        self.wm_protocols = self.d.intern_atom("WM_PROTOCOLS")
        self.ping_atom = self.d.intern_atom("_NET_WM_PING")
        self.wm_pid = self.d.intern_atom("_NET_WM_PID")
        # DAMAGE reports the first drawing into a window: the moment its contents appear.
        self.damage_event = None
        if self.d.has_extension("DAMAGE"):
            self.d.damage_query_version()
            self.damage_event = self.d.extension_event.DamageNotify
            # GTK's input-only windows cannot be watched (BadMatch), and a short-lived
            # window may be gone before its watch arrives; neither is ever drawn into.
            damage = self.d.query_extension("DAMAGE").major_opcode
            self.d.set_error_handler(lambda err, request: None if err.major_opcode == damage
                                     else print("X protocol error:", err, file=sys.stderr))
        self.d.sync()
        self.drain()

    def fileno(self):
        return self.d.fileno()

    def events(self, timeout):
        if not self.d.pending_events():
            select.select([self.d], [], [], max(timeout, 0))
        while self.d.pending_events():
            yield self.d.next_event()

    def drain(self):
        while self.d.pending_events():
            self.d.next_event()

    def window_pid(self, win):
        prop = win.get_full_property(self.wm_pid, X.AnyPropertyType)
        return prop.value[0] if prop and len(prop.value) else None

    def wait_shown(self, pid, deadline):
        """The first top-level window of pid that the server maps, when it was mapped,
        and when the program first drew into it (None without DAMAGE)."""
        win, mapped, drawn = None, None, {}
        while time.monotonic() < deadline:
            for e in self.events(deadline - time.monotonic()):
                now = time.monotonic()
                if e.type == X.CreateNotify and not e.override and self.damage_event is not None:
                    # Watched from its creation, so that no drawing comes before the watch.
                    e.window.damage_create(3)  # DamageReportNonEmpty: one report per window
                elif e.type == self.damage_event:
                    drawn.setdefault(e.drawable.id, now)
                elif win is None and e.type == X.MapNotify and not e.override:
                    if self.window_pid(e.window) in (None, pid):
                        win, mapped = e.window, now
            if win is not None and (self.damage_event is None or win.id in drawn):
                return win, mapped, drawn.get(win.id)
        return win, mapped, None

    def ping(self, win, seq):
        event = protocol.event.ClientMessage(window=win, client_type=self.wm_protocols,
                                             data=(32, [self.ping_atom, seq, win.id, 0, 0]))
        win.send_event(event, event_mask=0)
        self.d.flush()

    def pongs(self, timeout):
        for e in self.events(timeout):
            if e.type == X.ClientMessage and e.window.id == self.root.id and \
                    e.client_type == self.wm_protocols and e.data[1][0] == self.ping_atom:
                yield e.data[1][1]


def flood(screen, win, pid, master, slave, total, seconds, ping_ms):
    """Writes total bytes to the master as fast as the program reads them, pinging its
    window every ping_ms; returns (bytes read by the program, CPU s, longest ping answer ms)."""
    line = b"".join(b"%05d The quick brown fox jumps over the lazy dog 0123456789\r\n" % i
                    for i in range(1024))
    chunk = line * 4
    os.set_blocking(master, False)
    written = 0
    seq, sent_at, longest = 0, None, 0.0
    next_ping = time.monotonic()
    cpu0 = cpu_ticks(pid)
    start = time.monotonic()
    deadline = start + seconds
    while True:
        now = time.monotonic()
        left = int.from_bytes(fcntl.ioctl(slave, termios.FIONREAD, b"\0\0\0\0"), "little")
        if (written >= total and left == 0) or now >= deadline:
            break
        if sent_at is None and now >= next_ping:
            seq += 1
            sent_at = now
            screen.ping(win, seq)
        want_write = [master] if written < total else []
        wait = 0.002 if sent_at is not None else max(0.0, next_ping - now)
        r, w, _ = select.select([master, screen], want_write, [], min(wait, deadline - now))
        if master in r:
            try:
                os.read(master, 65536)  # echo, if the program left it on
            except OSError:
                pass
        if w:
            try:
                written += os.write(master, chunk[: min(len(chunk), total - written)])
            except BlockingIOError:
                pass
        for answered in screen.pongs(0):
            if sent_at is not None and answered == seq:
                got = time.monotonic()
                longest = max(longest, (got - sent_at) * 1000)
                sent_at = None
                next_ping = got + ping_ms / 1000
    if sent_at is not None:  # still unanswered: the stall lasts at least this long
        longest = max(longest, (time.monotonic() - sent_at) * 1000)
    left = int.from_bytes(fcntl.ioctl(slave, termios.FIONREAD, b"\0\0\0\0"), "little")
    return written - left, (cpu_ticks(pid) - cpu0) / TICK, longest


def measure(screen, prog, args, workdir):
    master, slave = pty.openpty()
    tty.setraw(slave)
    slave_path = os.ttyname(slave)
    link = os.path.join(workdir, "ttyUSB-bench")
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(slave_path, link)
    env = dict(os.environ, **prog.env)
    row = {}
    screen.drain()
    t0 = time.monotonic()
    proc = subprocess.Popen(prog.argv(slave_path, link), env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        win, mapped, drawn = screen.wait_shown(proc.pid, t0 + 15)
        if win is None:
            raise RuntimeError(f"{prog.name}: no window within 15 s")
        row["start"] = (mapped - t0) * 1000
        if drawn is not None:
            row["drawn"] = (drawn - t0) * 1000
        time.sleep(max(0.0, t0 + 2 - time.monotonic()))
        row["rss"] = status_field(proc.pid, "VmRSS") / 1024
        if prog.open_how is None:
            return row
        if prog.open_how != "start":
            time.sleep(0.3)  # let the window settle before input arrives
            prog.open_how(win.id)
        until = time.monotonic() + 5
        while not holds(proc.pid, slave_path) and time.monotonic() < until:
            time.sleep(0.02)
        if not holds(proc.pid, slave_path):
            print(f"  {prog.name}: the port did not open", file=sys.stderr)
            return row
        time.sleep(1)
        ns0, sw0 = task_ns_and_switches(proc.pid)
        time.sleep(args.idle)
        ns1, sw1 = task_ns_and_switches(proc.pid)
        row["idle"] = (ns1 - ns0) / 1e9 / args.idle * 100
        row["wakeups"] = (sw1 - sw0) / args.idle
        row["threads"] = status_field(proc.pid, "Threads")
        screen.drain()
        taken, cpu, stall = flood(screen, win, proc.pid, master, slave, int(args.mib * MIB),
                                  args.flood_seconds, args.ping_ms)
        row["mib"] = taken / MIB
        row["cpu_mib"] = cpu / (taken / MIB) if taken else float("nan")
        row["stall"] = stall
        return row
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(3)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        os.close(master)
        os.close(slave)
        os.unlink(link)


def write_cutecom_session(home, link):
    conf = os.path.join(home, ".config", "CuteCom")
    os.makedirs(conf, exist_ok=True)
    with open(os.path.join(conf, "CuteCom5.conf"), "w") as f:
        f.write("[sessions]\n1\\BaudRate=115200\n1\\DataBits=8\n1\\Device=%s\n1\\FlowControl=0\n"
                "1\\OpenMode=3\n1\\Parity=0\n1\\StopBits=1\n1\\autoReconnect=false\n1\\name=Default\n"
                "size=1\n" % link)


def write_gtkterm_config(home, link):
    # Without a configuration file the first start shows a dialog before it opens the port.
    conf = os.path.join(home, ".config")
    os.makedirs(conf, exist_ok=True)
    with open(os.path.join(conf, ".gtktermrc"), "w") as f:
        f.write("[default]\nport\t= %s\n" % link + "".join(f"{k}\t= {v}\n" for k, v in [
            ("speed", "115200"), ("bits", "8"), ("stopbits", "1"), ("parity", "none"), ("flow", "none"),
            ("wait_delay", "0"), ("wait_char", "-1"), ("rs485_rts_time_before_tx", "30"),
            ("rs485_rts_time_after_tx", "30"), ("echo", "False"), ("crlfauto", "False"),
            ("timestamp", "False"), ("font", '"Monospace 12"'), ("term_block_cursor", "True"),
            ("term_rows", "80"), ("term_columns", "25"), ("term_scrollback", "10000"),
            ("term_visual_bell", "True"), ("term_foreground_red", "0.660000"),
            ("term_foreground_blue", "0.660000"), ("term_foreground_green", "0.660000"),
            ("term_foreground_alpha", "1.000000"), ("term_background_red", "0.000000"),
            ("term_background_blue", "0.000000"), ("term_background_green", "0.000000"),
            ("term_background_alpha", "1.000000")]))


COLUMNS = [("start", "start ms", "%.1f"), ("drawn", "drawn ms", "%.1f"), ("rss", "RSS MB", "%.1f"), ("idle", "idle CPU %", "%.3f"),
           ("wakeups", "wakeups/s", "%.1f"), ("cpu_mib", "CPU s/MiB", "%.3f"), ("mib", "MiB read", "%.1f"),
           ("stall", "stall ms", "%.1f"), ("threads", "threads", "%.0f")]


def round_order(programs, r):
    """The order of round r: a row of a balanced Latin square. Over len(programs)
    rounds (twice that for an odd number of programs) every program starts once
    right after each other one, so that no program's figures carry the traces of
    always starting after the same one (its teardown, its toolkit in the caches)."""
    n = len(programs)
    steps, low, high = [0], 1, n - 1
    while len(steps) < n:
        steps.append(low)
        low += 1
        if len(steps) < n:
            steps.append(high)
            high -= 1
    order = [programs[(step + r) % n] for step in steps]
    return order[::-1] if n % 2 and (r // n) % 2 else order


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kaldora", required=True)
    ap.add_argument("--label", required=True)
    ap.add_argument("--rounds", type=int, default=12)
    ap.add_argument("--idle", type=float, default=10.0, help="seconds of idle CPU measurement")
    ap.add_argument("--mib", type=float, default=8.0, help="MiB written to the pseudo-terminal")
    ap.add_argument("--flood-seconds", type=float, default=30.0, help="longest a flood may take")
    ap.add_argument("--ping-ms", type=float, default=10.0)
    ap.add_argument("--only", default="", help="comma-separated program names")
    ap.add_argument("--workdir", default="/tmp/kaldora-compare")
    args = ap.parse_args()

    home = os.path.join(args.workdir, "home")
    os.makedirs(home, exist_ok=True)
    link = os.path.join(args.workdir, "ttyUSB-bench")
    write_cutecom_session(home, link)
    write_gtkterm_config(home, link)
    clean_home = {"HOME": home, "XDG_CONFIG_HOME": os.path.join(home, ".config")}
    programs = [
        Program("kaldora", lambda s, l: [args.kaldora, "--port", s], click(578, 23), clean_home),
        Program("label-window", lambda s, l: [args.label], None, clean_home),
        Program("cutecom", lambda s, l: ["cutecom"], click(50, 43), clean_home),
        # GtkTerm opens the port given on its command line, looks the device up under
        # /sys/dev/char and closes it again when there is none, as for every pseudo-terminal:
        # it gets start-up and memory only.
        Program("gtkterm", lambda s, l: ["gtkterm", "--port", s, "--speed", "115200"], None, clean_home),
    ]
    if args.only:
        programs = [p for p in programs if p.name in args.only.split(",")]
    screen = Screen()
    rows = {p.name: [] for p in programs}
    for r in range(args.rounds):
        for prog in round_order(programs, r):
            row = measure(screen, prog, args, args.workdir)
            rows[prog.name].append(row)
            print(f"round {r + 1}/{args.rounds} {prog.name}: " +
                  " ".join(f"{k}={v:.3f}" for k, v in row.items()), file=sys.stderr, flush=True)

    def median(name, key):
        values = [row[key] for row in rows[name] if key in row]
        return statistics.median(values) if values else None

    header = f"{'program':<14}" + "".join(f"{title:>12}" for _, title, _ in COLUMNS)
    print(f"medians of {args.rounds} rounds; {args.mib:g} MiB flood; idle over {args.idle:g} s")
    print(header)
    for prog in programs:
        cells = []
        for key, _, fmt in COLUMNS:
            m = median(prog.name, key)
            cells.append(f"{(fmt % m) if m is not None else 'n/a':>12}")
        print(f"{prog.name:<14}" + "".join(cells))
    if "kaldora" in rows and "label-window" in rows:
        k, lw = median("kaldora", "start"), median("label-window", "start")
        print(f"kaldora start-up / label window: {k / lw:.2f}x (target <= 1.25x)")
        kd, lwd = median("kaldora", "drawn"), median("label-window", "drawn")
        if kd and lwd:
            print(f"kaldora drawn / label window drawn: {kd / lwd:.2f}x")


if __name__ == "__main__":
    main()
