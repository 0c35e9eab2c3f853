#!/usr/bin/env python3
"""Mail through the whole system: how late spam reaches the junk folder.

    python3 bench/mail/mail_stream.py [--prefix DIR] [--rate 25] [--seconds 60]
                                      [--bursts 1000,10000] [--spam list|engine]
                                      [--inbox N] [--size BYTES] [--large MB] [--keep]

Starts an installed system headless with scripts/start-system.sh over a
fresh Maildir (default prefix: build/default installed into a temporary
folder), then
  1. a steady stream: --rate messages a second for --seconds, every other one
     spam (a sender on the block list), the rest ham from an unlisted sender
     that the engine judges; each spam's delay from its delivery into new/
     until it lies in .Quorvane/cur;
  2. bursts: N spam messages delivered at once; the rate at which they reach
     the junk folder, and the CPU time the mail host and the application
     spent per message;
  3. with --large, one message of that many MB: how much the mail host's
     peak memory grows.
--inbox N fills the inbox with N read messages before the start (the mail
host's CPU per new message and its memory should not grow with them);
--size pads every delivered message's body to that many bytes. The mail
host's CPU per message in the stream and its resident and peak memory are
printed after each step.
Delivery is the Maildir way: written into tmp/, then renamed into new/.
Not part of CI: a measurement run by hand on a quiet machine.
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SPAM_SENDER = "Bulk Deals <offers@bulk-deals.test>"  # on the run's block list
ENGINE_SPAM_SENDER = "Prize Center <noreply@prize-center.test>"  # unlisted: the engine judges
HAM_SENDER = "Sam Lee <sam.lee@colleagues.test>"
# The standard test line that the engine scores as spam without asking.
TEST_LINE = "XJS*C4JDBQADN1.NSBN3*2IDNEN*GTUBE-STANDARD-ANTI-UBE-TEST-EMAIL*C.34X"
SPAM_JUDGE = "list"
HOST = socket.gethostname().replace("/", "_").replace(":", "_")


SIZE = 0


def message(kind, number, tag):
    engine = kind == "spam" and SPAM_JUDGE == "engine"
    sender = HAM_SENDER if kind != "spam" else ENGINE_SPAM_SENDER if engine else SPAM_SENDER
    text = ("Notes from the meeting. " * 20) if kind != "spam" else ("Cheap offers, buy now. " * 20)
    if SIZE > len(text):
        text = (text * (SIZE // len(text) + 1))[:SIZE]
    if engine:
        # First, so that it lies within the body bytes the plug-in posts.
        text = TEST_LINE + "\r\n" + text
    return (f"From: {sender}\r\nTo: user@example.org\r\nSubject: {kind} {tag} {number}\r\n"
            f"Date: Wed, 09 Dec 2026 10:00:00 +0000\r\nMessage-ID: <{tag}-{number}@bench.test>\r\n"
            f"Content-Type: text/plain\r\n\r\n{text}\r\n").encode()


class Maildir:
    def __init__(self, path):
        self.path = path
        self.count = 0

    def deliver(self, data):
        self.count += 1
        name = f"{time.time():.6f}.P{os.getpid()}Q{self.count}.{HOST}"
        temporary = os.path.join(self.path, "tmp", name)
        with open(temporary, "wb") as out:
            out.write(data)
        os.rename(temporary, os.path.join(self.path, "new", name))
        return name

    def junk(self):
        try:
            return {n.split(":", 1)[0] for n in os.listdir(os.path.join(self.path, ".Quorvane", "cur"))}
        except FileNotFoundError:
            return set()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def memory(pid):
    """Resident and peak resident memory in MB."""
    values = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                values[key] = int(rest.split()[0]) / 1024
    return values.get("VmRSS", 0.0), values.get("VmHWM", 0.0)


def report_memory(pids, step):
    rss, peak = memory(pids["mail-host"])
    print(f"  mail host after {step}: resident {rss:.0f} MB, peak {peak:.0f} MB")


def fill_inbox(path, count):
    """Read mail already in the inbox before the start, in cur/."""
    for number in range(count):
        name = f"1700000000.M{number}P1Q1.{HOST}:2,S"
        with open(os.path.join(path, "cur", name), "wb") as out:
            out.write(message("ham", number, "old"))


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))] if ordered else float("nan")


def steady(maildir, rate, seconds, pids):
    delivered = {}  # unique name of each spam -> delivery time
    host_before = cpu_seconds(pids["mail-host"])
    start = time.monotonic()
    total = int(rate * seconds)
    moved = {}
    for number in range(total):
        due = start + number / rate
        while time.monotonic() < due:
            for name in maildir.junk() - moved.keys():
                moved[name] = time.monotonic()
            time.sleep(min(0.005, max(0.0, due - time.monotonic())))
        kind = "spam" if number % 2 == 0 else "ham"
        name = maildir.deliver(message(kind, number, "stream"))
        if kind == "spam":
            delivered[name] = time.monotonic()
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and not delivered.keys() <= moved.keys():
        for name in maildir.junk() - moved.keys():
            moved[name] = time.monotonic()
        time.sleep(0.005)
    delays = [moved[name] - delivered[name] for name in delivered if name in moved]
    missing = len(delivered) - len(delays)
    host_used = cpu_seconds(pids["mail-host"]) - host_before
    print(f"steady stream: {total} messages at {rate}/s for {seconds} s, {len(delivered)} spam")
    print(f"  mail host: {1e3 * host_used / max(1, total):.2f} ms CPU per message")
    if delays:
        print(f"  spam moved: {len(delays)}, not moved within 30 s after the stream: {missing}")
        print(f"  delay from delivery to junk: median {percentile(delays, 0.5):.3f} s, "
              f"p99 {percentile(delays, 0.99):.3f} s, max {max(delays):.3f} s")
        print(f"  every spam within 2 s: {'yes' if missing == 0 and max(delays) <= 2.0 else 'NO'}")
    return delays, missing


def burst(maildir, size, pids):
    before = {name: cpu_seconds(pid) for name, pid in pids.items()}
    already = maildir.junk()
    start = time.monotonic()
    names = {maildir.deliver(message("spam", number, f"burst{size}")) for number in range(size)}
    delivered = time.monotonic() - start
    deadline = time.monotonic() + max(120, size / 5)
    seen = set()
    last = start
    while time.monotonic() < deadline:
        now = maildir.junk() - already
        if len(now & names) > len(seen):
            seen = now & names
            last = time.monotonic()
        if seen >= names:
            break
        time.sleep(0.02)
    elapsed = max(last - start, 1e-3)
    after = {name: cpu_seconds(pid) for name, pid in pids.items()}
    print(f"burst of {size}: delivered in {delivered:.2f} s, {len(seen)} moved in {elapsed:.2f} s "
          f"= {len(seen) / elapsed:.0f} msg/s")
    for name in pids:
        used = after[name] - before[name]
        print(f"  {name}: {used:.2f} s CPU, {1e3 * used / size:.3f} ms per message")
    return len(seen) / elapsed if elapsed > 0 else 0.0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--prefix", help="an installed system (default: build/default installed afresh)")
    parser.add_argument("--rate", type=float, default=25)
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--bursts", default="1000,10000")
    parser.add_argument("--spam", choices=("list", "engine"), default="list",
                        help="spam judged by the block list, or by the engine (the standard test line)")
    parser.add_argument("--inbox", type=int, default=0, help="read messages in the inbox before the start")
    parser.add_argument("--size", type=int, default=0, help="body bytes of every delivered message")
    parser.add_argument("--large", type=float, default=0, help="deliver one message of this many MB at the end")
    parser.add_argument("--keep", action="store_true", help="keep the run folder")
    arguments = parser.parse_args()
    global SPAM_JUDGE, SIZE
    SPAM_JUDGE = arguments.spam
    SIZE = arguments.size

    work = tempfile.mkdtemp(prefix="qv-mail-bench.")
    prefix = arguments.prefix
    if not prefix:
        prefix = os.path.join(work, "install")
        subprocess.run(["cmake", "--install", os.path.join(ROOT, "build", "default"), "--prefix", prefix],
                       check=True, stdout=subprocess.DEVNULL)
    maildir_path = os.path.join(work, "maildir")
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(maildir_path, sub))
    fill_inbox(maildir_path, arguments.inbox)
    run = os.path.join(work, "run")
    environment = dict(os.environ)
    bus = None
    if not environment.get("DBUS_SESSION_BUS_ADDRESS"):
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                               stdout=subprocess.PIPE, text=True)
        environment["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
    # The run's block list holds the spam sender (written before the start,
    # since a given Maildir gets no sample lists).
    home = os.path.join(run, "home")
    tool_environment = dict(environment, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                            XDG_DATA_HOME=os.path.join(home, ".local", "share"), QT_QPA_PLATFORM="offscreen")
    subprocess.run([os.path.join(prefix, "lib", "quorvane", "stand-ins", "qv-run-tool"), "lists", "--block",
                    "offers@bulk-deals.test"],
                   env=tool_environment, check=True, stdout=subprocess.DEVNULL)
    command = ["sh", os.path.join(ROOT, "scripts", "start-system.sh"), "--prefix", prefix, "--run-folder", run,
               "--maildir", maildir_path, "--headless", "--update-port", str(free_port())]
    output = os.path.join(work, "start-system.out")
    with open(output, "w") as out:
        system = subprocess.Popen(command, stdout=out, stderr=sys.stderr, env=environment)
    try:
        while not any(line.strip() == "ready" for line in open(output)):
            if system.poll() is not None:
                sys.exit("mail_stream: the system did not start; see " + os.path.join(run, "logs"))
            time.sleep(0.2)
        state = os.path.join(run, "state")
        pids = {name: int(open(os.path.join(state, f"{name}.pid")).read())
                for name in ("mail-host", "Quorvane")}
        maildir = Maildir(maildir_path)
        time.sleep(2)  # the application's engine settles
        report_memory(pids, f"the start with {arguments.inbox} messages in the inbox")
        if arguments.seconds > 0:
            steady(maildir, arguments.rate, arguments.seconds, pids)
            report_memory(pids, "the stream")
        rates = {}
        for size in (int(s) for s in arguments.bursts.split(",") if s):
            rates[size] = burst(maildir, size, pids)
            report_memory(pids, f"the burst of {size}")
        if arguments.large > 0:
            before = memory(pids["mail-host"])[1]
            SIZE = int(arguments.large * 1024 * 1024)
            name = maildir.deliver(message("spam", 0, "large"))
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline and name not in maildir.junk():
                time.sleep(0.05)
            after = memory(pids["mail-host"])[1]
            print(f"one message of {arguments.large:g} MB: {'moved' if name in maildir.junk() else 'NOT moved'}, "
                  f"mail host peak {before:.0f} -> {after:.0f} MB")
        if len(rates) >= 2:
            sizes = sorted(rates)
            print(f"rate per message, burst of {sizes[-1]} against {sizes[0]}: "
                  f"{rates[sizes[-1]] / rates[sizes[0]]:.2f}")
    finally:
        # The run script stops what it started, in order.
        system.send_signal(signal.SIGTERM)
        try:
            system.wait(timeout=60)
        except subprocess.TimeoutExpired:
            system.kill()
        if bus:
            bus.terminate()
            bus.wait()
        if arguments.keep:
            print("run folder:", work)
        else:
            shutil.rmtree(work, ignore_errors=True)


def interrupted(signum, frame):
    raise KeyboardInterrupt


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, interrupted)
    try:
        main()
    except KeyboardInterrupt:
        sys.exit(130)
