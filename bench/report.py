#!/usr/bin/env python3
"""Turns the raw lines of one bench run into a Markdown report and a PNG chart.

    report.py RAW.tsv META.txt DEST      (writes DEST.md and DEST.png)

Every figure is a median over the repetitions, with the range [min-max] beside it; ratios
for the targets are taken between medians of the same run."""
import statistics
import sys

NAMES = {
    "tobrin": "TobrinLogger",
    "tobrin-cmd": "TobrinLogger, command mode",
    "tobrin-wine": "TobrinLogger.exe under wine",
    "tobrin-lib": "TobrinLogger, sent with tobrin_send",
    "tobrin-lib-many": "TobrinLogger, sent with tobrin_send_many",
    "tobrin-async": "TobrinLogger, sent through the asynchronous client",
    "floor-write": "floor: write() per message",
    "floor-recv": "floor: recv + write",
    "floor-mmsg": "floor: recvmmsg + writev",
    "sink": "ceiling: recvmmsg, nothing written",
    "floor-threads": "floor: thread per client, recv + locked write",
    "floor-threads-mmsg": "floor: thread per client, recvmmsg + locked writev",
    "svlogd": "svlogd",
    "multilog": "multilog",
    "s6-log": "s6-log",
    "rotatelogs": "rotatelogs",
    "cat": "writers → cat > file",
}

# The peer log writers, fed through a pipe: each one's rows also come fed in blocks of whole
# lines, as case "<peer>+blocks".
PEERS = ("svlogd", "multilog", "s6-log", "rotatelogs")
BLOCKS = "+blocks"
# The sender that the targets of the asynchronous client are set for.
ASYNC = "tobrin-async"

COMMANDS = {
    "tobrin": "TobrinLogger --input=D/log.sock --output=D/server.log --filesize=10485760 --numbackups=10",
    "tobrin-cmd": "TobrinLogger --input=D/log.sock '--output=|cat > D/out.txt'",
    "tobrin-lib": "TobrinLogger as for tobrin; each client: tobrin_connect, then tobrin_send per message",
    "tobrin-lib-many": "TobrinLogger as for tobrin; each client: tobrin_connect, then tobrin_send_many per 64 messages",
    "tobrin-async": "TobrinLogger as for tobrin; each client: tobrin_open (buffer_bytes={buffer_bytes}, flush_ms={flush_ms}, "
                    "when_full=TOBRIN_WAIT, connect_timeout_ms=60000), tobrin_send per message, tobrin_flush, tobrin_close",
    "tobrin-wine": "wine TobrinLogger.exe --input=\\\\.\\pipe\\tbench-PID --output=Z:\\...\\server.log --filesize=10485760 --numbackups=10",
    "floor-write": "open(O_APPEND); for each message: write(fd, msg, size)",
    "floor-recv": "SEQPACKET server: r = recv(c, buf, 32768); write(out, buf, r)",
    "floor-mmsg": "SEQPACKET server: n = recvmmsg(c, 256 slots, MSG_WAITFORONE); writev(out, n)",
    "sink": "SEQPACKET server: recvmmsg(c, 256 slots, MSG_WAITFORONE); count; nothing written",
    "floor-threads": "thread per client: recv; lock; write; unlock",
    "floor-threads-mmsg": "thread per client: recvmmsg(MSG_WAITFORONE); lock; writev; unlock",
    "svlogd": "printf 's10485760\\nn10\\n' > D/config; writers | svlogd D",
    "multilog": "writers | multilog s10485760 n10 D",
    "s6-log": "writers | s6-log n10 s10485760 D",
    "rotatelogs": "writers | rotatelogs -n 10 D/server.log 10485760B",
    "cat": "writers | cat > D/out.txt",
}


class Settings(dict):
    """A run's key=value figures for a command's {placeholders}; '?' for one it lacks."""
    def __missing__(self, key):
        return "?"


def load(path):
    rows = []
    with open(path) as f:
        for line in f:
            row = {}
            for field in line.rstrip("\n").split("\t"):
                if "=" in field:
                    key, value = field.split("=", 1)
                    row[key] = value
            if row:
                rows.append(row)
    return rows


def num(row, key):
    try:
        return float(row[key])
    except (KeyError, ValueError):
        return None


def stats(rows, key):
    values = [v for v in (num(r, key) for r in rows) if v is not None]
    if not values:
        return None
    return statistics.median(values), min(values), max(values)


def fmt(value, digits=0):
    if value is None:
        return "–"
    if digits == 0:
        return f"{value:,.0f}"
    return f"{value:,.{digits}f}"


def cell(rows, key, digits=0, scale=1.0):
    s = stats(rows, key)
    if s is None:
        return "–"
    med, lo, hi = (x * scale for x in s)
    if len(rows) == 1:
        return fmt(med, digits)
    return f"{fmt(med, digits)} [{fmt(lo, digits)}–{fmt(hi, digits)}]"


def median(rows, key):
    s = stats(rows, key)
    return s[0] if s else None


def checks(rows):
    ok = sum(1 for r in rows if r.get("check") == "ok")
    return f"{ok}/{len(rows)}"


def section(lines, heading):
    """Appends a second-level heading and the blank line after it."""
    lines.append(f"## {heading}")
    lines.append("")


def figure_rows(lines, runs, figures):
    """Appends a `| figure | value |` row for each (figure, value), then the runs' checks."""
    for figure, value in figures:
        lines.append(f"| {figure} | {value} |")
    lines.append(f"| checks | {checks(runs)} |")


def figure_table(lines, runs, figures):
    """A table of figures: its header, then figure_rows."""
    lines.append("| figure | value |")
    lines.append("|---|---|")
    figure_rows(lines, runs, figures)


def case_of(row):
    """The row's kind, with BLOCKS added when a peer's writers wrote blocks of lines."""
    return row["kind"] + (BLOCKS if row.get("feed") == "blocks" else "")


def display_name(case, rows):
    """The name of a case in the tables: a peer's says how its writers fed it."""
    kind = case[:-len(BLOCKS)] if case.endswith(BLOCKS) else case
    name = NAMES.get(kind, kind)
    if kind not in PEERS:
        return name
    if case.endswith(BLOCKS):
        return f"{name}, fed {fmt(median(rows, 'bytes_per_write'))}-byte blocks of lines"
    return f"{name}, fed one line per write()"


def group(rows, workload, run=None):
    out = {}
    for r in rows:
        if r.get("workload") != workload or (run and r.get("run") != run):
            continue
        out.setdefault(case_of(r), []).append(r)
    return out


def throughput_table(rows, workload, lines):
    g = group(rows, workload, "throughput")
    if not g:
        return
    lines.append("| system | msgs/s | MB/s | server CPU µs/msg | client CPU µs/msg | of which the sending thread | "
                 "peak RSS KiB | files | checks |")
    lines.append("|---|---|---|---|---|---|---|---|---|")
    order = sorted(g, key=lambda k: -(median(g[k], "msgs_per_s") or 0))
    for kind in order:
        rs = g[kind]
        lines.append(
            f"| {display_name(kind, rs)} | {cell(rs, 'msgs_per_s')} | {cell(rs, 'mb_per_s', 1)} | "
            f"{cell(rs, 'cpu_us_per_msg', 2)} | {cell(rs, 'client_cpu_us_per_msg', 2)} | "
            f"{cell(rs, 'client_thread_cpu_us_per_msg', 3)} | {cell(rs, 'rss_kib')} | {cell(rs, 'files')} | {checks(rs)} |")
    lines.append("")


def ratio(a, b):
    return a / b if a is not None and b else None


def target_line(lines, name, measured, op, bound, unit="", missing="not measured", against=""):
    """A target's row; `missing` stands in the measured column when there is no figure, and
    `against` (what the figure was compared with) follows the figure."""
    if measured is None:
        lines.append(f"| {name} | {op} {bound}{unit} | {missing} | – |")
        return
    met = measured >= bound if op == "≥" else measured <= bound if op == "≤" else measured < bound
    if met:
        verdict = "met"
    elif op == "≥":
        verdict = f"missed by {100 * (1 - measured / bound):.0f}%"
    else:
        verdict = f"missed by {100 * (measured / bound - 1):.0f}%"
    digits = 2 if abs(measured) < 10 else 0
    against = f" ({against})" if against else ""
    lines.append(f"| {name} | {op} {bound}{unit} | {fmt(measured, digits)}{unit}{against} | {verdict} |")


def library_lines(lines, workload, g):
    """What the client library costs its senders, and what its batched send gives, beside the
    bench's own one-send()-per-message client; figures only, no bound."""
    own = g.get("tobrin", [])
    for kind, what in (("tobrin-lib", "tobrin_send"), ("tobrin-lib-many", "tobrin_send_many")):
        rs = g.get(kind, [])
        if not rs or not own:
            continue
        speed = ratio(median(rs, "msgs_per_s"), median(own, "msgs_per_s"))
        cpu = ratio(median(rs, "client_cpu_us_per_msg"), median(own, "client_cpu_us_per_msg"))
        lines.append(f"| (sender) {workload} with {what} vs the bench's own send() per message | – | "
                     f"{fmt(speed, 2)}x msgs/s, {fmt(cpu, 2)}x client CPU/msg | figures only |")


def best_peer(g, fed_in_blocks):
    """The peer case with the most msgs/s (median) among those fed one way, or None."""
    cases = [p + (BLOCKS if fed_in_blocks else "") for p in PEERS]
    measured = [c for c in cases if median(g.get(c, []), "msgs_per_s") is not None]
    return max(measured, key=lambda c: median(g[c], "msgs_per_s"), default=None)


def against_peers(lines, workload, g, kind, sender, bounds, missing):
    """For each way of feeding the peers with a bound in `bounds` (lines, blocks), the row of
    `kind`'s msgs/s against the best peer fed that way; with a bound of None, figures only."""
    for fed_in_blocks, bound in zip((False, True), bounds):
        peer = best_peer(g, fed_in_blocks)
        name = peer[:-len(BLOCKS)] if peer and fed_in_blocks else peer or ""
        feed = "in blocks" if fed_in_blocks else "one line per write()"
        what = f"{workload} msgs/s, {sender}, vs the best peer fed {feed}"
        measured = ratio(median(g.get(kind, []), "msgs_per_s"), median(g.get(peer, []), "msgs_per_s"))
        if bound is not None:
            target_line(lines, what, measured, "≥", bound, "x", missing, name)
        elif measured is not None:
            lines.append(f"| ({what}) | – | {measured:.2f}x ({name}) | figures only |")


def async_targets(lines, w1, w2):
    """The asynchronous client's targets; until its rows exist, they say so. Its CPU is the
    client process's, sender thread included; what the thread that sends pays follows, as a
    figure."""
    waiting = "no figure yet"
    for workload, g in (("W1", w1), ("W2", w2)):
        against_peers(lines, workload, g, ASYNC, "asynchronous client", (4, 0.9), waiting)
    for workload, g in (("W1", w1), ("W2", w2)):
        async_rows, sync_rows = g.get(ASYNC, []), g.get("tobrin-lib", [])
        target_line(lines, f"{workload} client CPU/msg (the process, sender thread included), "
                    "asynchronous client vs tobrin_send",
                    ratio(median(async_rows, "client_cpu_us_per_msg"), median(sync_rows, "client_cpu_us_per_msg")),
                    "≤", 0.2, "x", waiting)
        thread = ratio(median(async_rows, "client_thread_cpu_us_per_msg"),
                       median(sync_rows, "client_thread_cpu_us_per_msg"))
        if thread is not None:
            lines.append(f"| ({workload} CPU/msg of the thread that calls tobrin_send, asynchronous vs synchronous) | – | "
                         f"{thread:.2f}x | figures only |")
    for workload, g in (("W1", w1), ("W2", w2)):
        against_peers(lines, workload, g, "tobrin-lib-many", "tobrin_send_many", (None, None), waiting)


def targets(rows, lines):
    w1, w2, w3 = (group(rows, w, "throughput") for w in ("W1", "W2", "W3"))
    t1 = w1.get("tobrin", [])
    lines.append("| target | required | measured (ratio of medians) | verdict |")
    lines.append("|---|---|---|---|")
    target_line(lines, "W1 msgs/s vs recvmmsg+writev floor",
                ratio(median(t1, "msgs_per_s"), median(w1.get("floor-mmsg", []), "msgs_per_s")), "≥", 0.9, "x")
    target_line(lines, "W1 server CPU/msg vs that floor",
                ratio(median(t1, "cpu_us_per_msg"), median(w1.get("floor-mmsg", []), "cpu_us_per_msg")), "≤", 1.2, "x")
    target_line(lines, "W1 msgs/s vs svlogd",
                ratio(median(t1, "msgs_per_s"), median(w1.get("svlogd", []), "msgs_per_s")), "≥", 1.8, "x")
    ceiling = ratio(median(w1.get("sink", []), "msgs_per_s"), median(w1.get("svlogd", []), "msgs_per_s"))
    if ceiling is not None:
        lines.append(f"| (for comparison) W1 msgs/s of a socket server that writes nothing, vs svlogd | – | "
                     f"{ceiling:.2f}x | the most any SEQPACKET server reaches with this client here |")
    target_line(lines, "W2 msgs/s vs our W1",
                ratio(median(w2.get("tobrin", []), "msgs_per_s"), median(t1, "msgs_per_s")), "≥", 0.8, "x")
    floor2 = w2.get("floor-threads-mmsg", [])
    target_line(lines, "W2 msgs/s vs thread-per-client recvmmsg+writev floor",
                ratio(median(w2.get("tobrin", []), "msgs_per_s"), median(floor2, "msgs_per_s")), "≥", 0.95, "x")
    target_line(lines, "W2 server CPU/msg vs that floor",
                ratio(median(w2.get("tobrin", []), "cpu_us_per_msg"), median(floor2, "cpu_us_per_msg")), "≤", 1.1, "x")
    for w, g in (("W1", w1), ("W2", w2)):
        library_lines(lines, w, g)
    async_targets(lines, w1, w2)
    w6 = group(rows, "W6", "throughput")
    target_line(lines, "W6 msgs/s in command mode vs writers into cat",
                ratio(median(w6.get("tobrin-cmd", []), "msgs_per_s"), median(w6.get("cat", []), "msgs_per_s")), "≥", 0.9, "x")
    target_line(lines, "W3 MB/s vs recv+write floor",
                ratio(median(w3.get("tobrin", []), "mb_per_s"), median(w3.get("floor-recv", []), "mb_per_s")), "≥", 0.8, "x")
    target_line(lines, "W3 server CPU/msg vs recvmmsg+writev floor",
                ratio(median(w3.get("tobrin", []), "cpu_us_per_msg"), median(w3.get("floor-mmsg", []), "cpu_us_per_msg")), "≤", 1.1, "x")
    rounds = group(rows, "W4", "rounds").get("tobrin", [])
    hold = group(rows, "W4", "hold").get("tobrin", [])
    target_line(lines, "W4 resident memory per idle client (after the rounds)",
                median(rounds, "kib_per_idle_client"), "≤", 64, " KiB")
    target_line(lines, "W4 resident memory per idle client, 10,000 held",
                median(hold, "kib_per_idle_client"), "≤", 64, " KiB")
    held = [r for r in hold if r.get("check") == "ok"]
    lines.append(f"| W4 idle clients held | 10,000 | {fmt(median(hold, 'msgs'))} clients, {len(held)}/{len(hold)} runs whole | "
                 f"{'met' if hold and len(held) == len(hold) and (median(hold, 'msgs') or 0) >= 10000 else 'see W4'} |")
    cycles = group(rows, "W5", "cycles").get("tobrin", [])
    target_line(lines, "W5 cycles served per second (connect, send, disconnect; until the message is in the file)",
                median(cycles, "served_per_s"), "≥", 5000)
    grown = [r for r in cycles if num(r, "threads_after") != num(r, "threads_base")
             or num(r, "fds_after") != num(r, "fds_base")]
    rss_growth = median(cycles, "rss_after_kib")
    base = median(cycles, "rss_base_kib")
    growth = None if rss_growth is None or base is None else rss_growth - base
    lines.append(f"| W5 no growth afterwards | threads, descriptors, memory as before | "
                 f"{len(cycles) - len(grown)}/{len(cycles)} runs with the same threads and descriptors; "
                 f"RSS {fmt(base)} → {fmt(rss_growth)} KiB | "
                 f"{'met' if cycles and not grown and growth is not None and growth <= 1024 else 'see W5'} |")
    lat = group(rows, "latency", "latency").get("tobrin", [])
    target_line(lines, "latency p99 at 10,000 msgs/s", median(lat, "p99_us"), "<", 1000, " µs")
    lines.append("")


def chart(rows, dest):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    panels = [("W1", "W1: 1 client, 1,000,000 × 100 B (pinned)"),
              ("W2", "W2: 8 clients × 125,000 × 100 B")]
    fig, axes = plt.subplots(2, 2, figsize=(14, 9))
    for col, (workload, title) in enumerate(panels):
        g = group(rows, workload, "throughput")
        kinds = sorted(g, key=lambda k: -(median(g[k], "msgs_per_s") or 0))
        labels = [display_name(k, g[k]).replace("floor: ", "floor:\n").replace(", ", ",\n") for k in kinds]
        colors = ["tab:red" if k.startswith("tobrin") else "tab:gray" if k.startswith("floor") or k == "sink"
                  else "tab:blue" for k in kinds]
        for row, (key, unit) in enumerate([("msgs_per_s", "messages/s (millions)"),
                                           ("cpu_us_per_msg", "server CPU µs per message")]):
            ax = axes[row][col]
            scale = 1e-6 if key == "msgs_per_s" else 1.0
            meds, errs = [], [[], []]
            for k in kinds:
                med, lo, hi = (x * scale for x in stats(g[k], key))
                meds.append(med)
                errs[0].append(med - lo)
                errs[1].append(hi - med)
            ax.bar(range(len(kinds)), meds, yerr=errs, color=colors, capsize=3)
            ax.set_xticks(range(len(kinds)))
            ax.set_xticklabels(labels, fontsize=7, rotation=45, ha="right")
            ax.set_ylabel(unit)
            if row == 0:
                ax.set_title(title)
            ax.grid(axis="y", alpha=0.3)
    fig.suptitle("TobrinLogger (red), floors (grey) and peer log writers (blue): medians, range as error bars")
    fig.tight_layout()
    fig.savefig(dest + ".png", dpi=90)
    return True


def main():
    raw, meta_path, dest = sys.argv[1:4]
    rows = load(raw)
    meta = {}
    with open(meta_path) as f:
        for line in f:
            if "=" in line:
                k, v = line.rstrip("\n").split("=", 1)
                meta[k] = v
    lines = []
    title = "Bench smoke run" if meta.get("smoke") == "1" else "Bench run"
    lines.append(f"# {title}: TobrinLogger against the floors and the peer log writers, {meta.get('started', '')}")
    lines.append("")
    lines.append("Made by `bench/run.sh`. Every figure is the median over the repetitions with the range "
                 "[min–max]; every run checked its output (all bytes kept, every message whole, each "
                 "client's messages in order, and for TobrinLogger each file rotated right after the "
                 "message that took it over the limit, or for the asynchronous client the pipe message "
                 "of packed messages) before its figures were kept.")
    lines.append("")
    section(lines, "Machine")
    for key in ("cpu", "cores", "memory", "kernel", "os", "filesystem", "gcc", "commit", "reps", "priority", "placement",
                "windows_build",
                "load_start", "load_end", "sizes"):
        lines.append(f"- {key}: {meta.get(key, '?')}")
    lines.append("- packages: " + ", ".join(f"{k[4:]} {v}" for k, v in meta.items() if k.startswith("pkg_")))
    loads = [num(r, "load") for r in rows if num(r, "load") is not None]
    if loads:
        lines.append(f"- one-minute load average at each run's start: median {statistics.median(loads):.2f}, "
                     f"max {max(loads):.2f} (the machine is shared; above ~1 the figures are disturbed)")
    lines.append("")
    section(lines, "Targets")
    targets(rows, lines)
    sections = [
        ("W1", "W1: one client, 1,000,000 messages of 100 bytes, rotation at 10 MiB keeping 10"),
        ("W1u", "W1u: W1 left to the scheduler's placement (no pinning), for comparison"),
        ("W2", "W2: 8 clients × 125,000 messages of 100 bytes (peers: 8 writer processes on one pipe)"),
        ("W3", "W3: one client, 3,052 messages of 32,768 bytes"),
        ("W6", "W6: command mode, 1,000,000 messages of 100 bytes into `cat > file`"),
    ]
    for workload, heading in sections:
        section(lines, heading)
        throughput_table(rows, workload, lines)
    rounds = group(rows, "W4", "rounds").get("tobrin", [])
    hold = group(rows, "W4", "hold").get("tobrin", [])
    section(lines, "W4: 1,000 clients connected at once, one message each per round for 100 rounds; idle memory")
    if rounds:
        figure_table(lines, rounds, [
            ("msgs/s over the rounds", cell(rounds, "msgs_per_s")),
            ("server CPU µs/msg", cell(rounds, "cpu_us_per_msg", 2)),
            ("RSS before any client, KiB", cell(rounds, "rss_base_kib")),
            ("RSS with the clients connected, before any message, KiB", cell(rounds, "rss_connected_kib")),
            ("RSS with the clients idle after the rounds, KiB", cell(rounds, "rss_idle_kib")),
            ("KiB per connected client, before any message", cell(rounds, "kib_per_client_connected", 1)),
            ("KiB per idle client after the rounds", cell(rounds, "kib_per_idle_client", 1)),
            ("threads connected / after all left", f"{cell(rounds, 'threads_connected')} / {cell(rounds, 'threads_after')}"),
        ])
    if hold:
        figure_rows(lines, hold, [
            ("idle clients held at once (each sent one message)", cell(hold, "msgs")),
            ("their connect+send time, s", cell(hold, "wall_s", 2)),
            ("RSS base / held, KiB", f"{cell(hold, 'rss_base_kib')} / {cell(hold, 'rss_held_kib')}"),
            ("KiB per idle client when held", cell(hold, "kib_per_idle_client", 1)),
            ("threads held / after all left", f"{cell(hold, 'threads_held')} / {cell(hold, 'threads_after')}"),
            ("descriptors held / after", f"{cell(hold, 'fds_held')} / {cell(hold, 'fds_after')}"),
        ])
    lines.append("")
    cycles = group(rows, "W5", "cycles").get("tobrin", [])
    section(lines, "W5: connect, send one message, disconnect")
    if cycles:
        figure_table(lines, cycles, [
            ("cycles per run", cell(cycles, "msgs")),
            ("cycles served per second (clock stops when every message is in the file)", cell(cycles, "served_per_s")),
            ("connects/s as the clients saw them (a connect returns once queued for accept)",
             cell(cycles, "connects_per_s")),
            ("server CPU µs per cycle (both rounds)", cell(cycles, "cpu_us_per_cycle", 2)),
            ("threads before / after", f"{cell(cycles, 'threads_base')} / {cell(cycles, 'threads_after')}"),
            ("descriptors before / after", f"{cell(cycles, 'fds_base')} / {cell(cycles, 'fds_after')}"),
            ("RSS before / after, KiB", f"{cell(cycles, 'rss_base_kib')} / {cell(cycles, 'rss_after_kib')}"),
        ])
    lines.append("")
    lat = group(rows, "latency", "latency")
    section(lines, "Latency: from just before send()/write() to the bytes readable in the file, at a steady 10,000 msgs/s")
    if lat:
        lines.append("| system | p50 µs | p99 µs | max µs | checks |")
        lines.append("|---|---|---|---|---|")
        for kind in sorted(lat, key=lambda k: median(lat[k], "p99_us") or 0):
            rs = lat[kind]
            lines.append(f"| {NAMES.get(kind, kind)} | {cell(rs, 'p50_us', 1)} | {cell(rs, 'p99_us', 1)} | "
                         f"{cell(rs, 'max_us', 1)} | {checks(rs)} |")
    lines.append("")
    win = {f"{w} {v}": group(rows, f"win-{w}{suffix}", "throughput").get("tobrin-wine", [])
           for w in ("W1", "W2", "W3") for v, suffix in (("batched", ""), ("one by one", "-one-by-one"))}
    section(lines, "Windows build under wine (reduced sizes; no targets: wine is not Windows)")
    lines.append("The server as shipped (batched: the messages a client has queued are read one behind "
                 "the other and written with one WriteFile) and built with TOBRIN_ONE_BY_ONE=ON "
                 "(one ReadFile and one WriteFile per message), run in turn. These are wine's figures, "
                 "not Windows figures: wine serves every pipe through its wineserver process and may "
                 "run under an emulator, so only the ratio between the two builds means much.")
    lines.append("")
    if any(win.values()):
        lines.append("| workload | msgs/s | MB/s | server process CPU µs/msg (wineserver not counted) | checks |")
        lines.append("|---|---|---|---|---|")
        for w, rs in win.items():
            if rs:
                lines.append(f"| {w}: {fmt(median(rs, 'clients'))} client(s) × "
                             f"{fmt((median(rs, 'msgs') or 0) / (median(rs, 'clients') or 1))} × {fmt(median(rs, 'size'))} B | "
                             f"{cell(rs, 'msgs_per_s')} | {cell(rs, 'mb_per_s', 1)} | {cell(rs, 'cpu_us_per_msg', 2)} | {checks(rs)} |")
    else:
        lines.append("Not run (see the runner's output).")
    lines.append("")
    section(lines, "Commands")
    lines.append("Each run is one `tbench` process (bench/tbench.c, gcc -O2) in a fresh directory D; in the "
                 "full run each starts after `sync; sleep 1`. Messages are built before the clock starts; "
                 "each client (a forked process) sends each message with one send() on its own "
                 "SOCK_SEQPACKET connection, and each peer writer process does one write() per line into the "
                 "pipe that feeds the peer, or, for the rows fed in blocks (`--feed=blocks`), one write() per "
                 "block of whole lines, as stdio writes into a pipe: blocks of up to 65,536 bytes with one "
                 "writer (W1: 655 lines, 65,500 bytes), and with the 8 writers of W2 on one pipe blocks of up "
                 "to PIPE_BUF, 4,096 bytes (40 lines, 4,000 bytes), since the kernel may interleave a larger "
                 "write with other writers' writes and tear lines. The clients are forked before the clock "
                 "starts, and each reads its messages through once (on this virtual machine a forked "
                 "process's first touch of each page it inherited costs microseconds, which would be "
                 "charged to every sender alike); the clock runs from the signal that starts them all to "
                 "the output holding every byte. Server CPU is the server's own user+sys from wait4() "
                 "(for the write() floor, getrusage of the writing process). Client CPU is each client "
                 "process's user+sys from the start on (getrusage in the client, its sender thread "
                 "included), and the sending thread's is that of the thread that calls send(), write() or "
                 "tobrin_send (CLOCK_THREAD_CPUTIME_ID); for the client under wine, wait4() of its process.")
    lines.append("")
    lines.append("```")
    lines.append("W1 (and W2 with --clients=8 --count=125000; W3 with --count=3052 --size=32768; W6 kinds tobrin-cmd, cat):")
    lines.append("  tbench throughput --kind=KIND --server=TobrinLogger --clients=1 --count=1000000 --size=100 --dir=D")
    lines.append("  (a peer fed in blocks: --kind=PEER --feed=blocks)")
    async_rows = [r for r in rows if r.get("kind") == ASYNC]
    if async_rows:
        lines.append(f"  (the asynchronous client: --kind={ASYNC} --buffer={async_rows[0].get('buffer_bytes', '?')} "
                     f"--flush-ms={async_rows[0].get('flush_ms', '?')})")
    lines.append("W4: tbench rounds --server=TobrinLogger --clients=1000 --rounds=100 --size=100 --dir=D")
    lines.append("    tbench hold --server=TobrinLogger --clients=10000 --size=100 --dir=D")
    lines.append("W5: tbench cycles --server=TobrinLogger --cycles=10000 --size=100 --dir=D")
    lines.append("latency: tbench latency --kind=KIND --server=TobrinLogger --rate=10000 --seconds=3 --size=100 --dir=D")
    lines.append("windows: tbench throughput --kind=tobrin-wine --server=TobrinLogger.exe --client=win_client.exe ...")
    lines.append("```")
    lines.append("")
    lines.append("W1, W3, W6 and the latency runs add `--pin=1` (the server, floor or peer on CPU 1, the "
                 "clients on CPU 0); with the priority above, each run is started as `chrt -f 10 tbench ...`. "
                 "W5 runs a first round of as many cycles before the measured one; its before/after "
                 "figures are taken after each round.")
    lines.append("")
    lines.append("| kind | what runs |")
    lines.append("|---|---|")
    for kind in sorted({r["kind"] for r in rows}):
        settings = next((r for r in rows if r["kind"] == kind), {})
        command = COMMANDS.get(kind, kind).format_map(Settings(settings)).replace("|", "\\|")
        lines.append(f"| {kind} | `{command}` |")
    lines.append("")
    if chart(rows, dest):
        lines.insert(2, f"![messages/s and CPU per message]({dest.rsplit('/', 1)[-1]}.png)\n")
    else:
        lines.append("(No chart: python3-matplotlib is not installed.)")
    with open(dest + ".md", "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
