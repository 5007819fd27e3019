#!/usr/bin/env python3
"""Boots the PE32 test guest once under qemu-system-x86_64 (TCG) and follows
its serial console until it powers off.

The guest's init runs <xfer>/guest-run.sh, which announces each step on the
console ("TSL-GUEST begin NAME BOUND", "TSL-GUEST end NAME STATUS SECONDS
[SUMMARY]"); this prints one line per step with its time, keeps the whole
console with host timestamps in --log, and ends the guest when a step
outlives its bound (plus a grace) or the console stays silent too long,
showing the guest's last look at its processes (<xfer>/out/ps.txt).

    boot.py --guest DIR --xfer DIR --log FILE [--write] [--bound SECONDS]

Without --write the image is booted with snapshot=on: the cache stays as it is.
Exit status: the guest script's, or 124 when the guest was ended, 125 when it
could not run the script.
"""

import argparse
import os
import select
import signal
import subprocess
import sys
import time

PREFIX = "TSL-GUEST "


def qemu_cpu_seconds(pid):
    """The CPU time qemu has used (nice and ionice exec it: same process)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except (OSError, IndexError, ValueError):
        return 0.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--guest", required=True, help="the cached guest: vmlinuz, initrd.img, root.img")
    parser.add_argument("--image", help="disk image (default: <guest>/root.img)")
    parser.add_argument("--xfer", required=True, help="host folder the guest mounts on /xfer")
    parser.add_argument("--log", required=True, help="the serial console, with host times")
    parser.add_argument("--write", action="store_true", help="keep the guest's writes in the image")
    parser.add_argument("--bound", type=float, default=3600, help="the whole boot, seconds")
    parser.add_argument("--grace", type=float, default=180, help="beyond a step's own bound, seconds")
    parser.add_argument("--silence", type=float, default=600, help="console silence outside a step")
    parser.add_argument("--memory", default="6G")
    parser.add_argument("--label", default="pe32", help="the first word of each printed line")
    args = parser.parse_args()

    image = args.image or os.path.join(args.guest, "root.img")
    command = [
        "nice", "-n", "19", "ionice", "-c3",
        "qemu-system-x86_64", "-accel", "tcg,thread=multi,tb-size=1024", "-smp", "2", "-m", args.memory,
        "-kernel", os.path.join(args.guest, "vmlinuz"), "-initrd", os.path.join(args.guest, "initrd.img"),
        "-append", "root=/dev/vda rw console=ttyS0 init=/sbin/tessaly-guest-init quiet loglevel=3 "
                   "tsc=reliable",
        "-drive", "file=%s,format=raw,if=virtio,cache=unsafe,snapshot=%s" % (image, "off" if args.write else "on"),
        "-virtfs", "local,path=%s,mount_tag=xfer,security_model=passthrough,id=xfer" % os.path.abspath(args.xfer),
        "-nic", "none", "-nographic", "-no-reboot",
    ]
    started = time.time()
    log = open(args.log, "w", encoding="utf-8", errors="replace")
    qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)

    def say(text):
        print("%s %s" % (args.label, text), flush=True)

    def end_guest(why):
        say(why)
        ps = os.path.join(args.xfer, "out", "ps.txt")
        if os.path.exists(ps):
            say("the guest's processes at its last look (%s):" % ps)
            with open(ps, encoding="utf-8", errors="replace") as f:
                for line in f.read().splitlines()[:60]:
                    print("    " + line, flush=True)
        qemu.terminate()
        try:
            qemu.wait(20)
        except subprocess.TimeoutExpired:
            qemu.kill()

    # An interrupted test command ends the guest too.
    def on_signal(number, _frame):
        qemu.kill()
        sys.exit(128 + number)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)

    status = None
    cpu_seconds = 0.0
    steps = {}           # name -> (began, deadline); lanes run steps side by side
    last_output = started
    up = None
    pending = b""
    try:
        while True:
            now = time.time()
            late = [(name, began) for name, (began, deadline) in steps.items() if now > deadline]
            if late:
                end_guest("%s: no end after %.0f s (its bound and %.0f s of grace): guest ended"
                          % (late[0][0], now - late[0][1], args.grace))
                status = 124
                break
            if not steps and now - last_output > args.silence:
                end_guest("no word from the guest for %.0f s%s: guest ended"
                          % (now - last_output, "" if up else " while it boots"))
                status = 124
                break
            if now - started > args.bound:
                end_guest("the boot outlived its bound of %.0f s: guest ended" % args.bound)
                status = 124
                break
            ready, _, _ = select.select([qemu.stdout], [], [], 5)
            if not ready:
                continue
            chunk = os.read(qemu.stdout.fileno(), 65536)
            if not chunk:
                break
            last_output = time.time()
            pending += chunk
            *lines, pending = pending.split(b"\n")
            for raw in lines:
                line = raw.decode("utf-8", "replace").rstrip("\r")
                log.write("%8.1f %s\n" % (time.time() - started, line))
                log.flush()
                if not line.startswith(PREFIX):
                    continue
                word, _, rest = line[len(PREFIX):].partition(" ")
                if word == "up":
                    up = time.time()
                    say("boot: %.0f s" % (up - started))
                elif word == "begin":
                    name, bound = rest.split()[:2]
                    steps[name] = (time.time(), time.time() + float(bound) + args.grace)
                elif word == "end":
                    fields = rest.split(" ", 3)
                    name, result, seconds = fields[:3]
                    summary = fields[3] if len(fields) > 3 else ""
                    say("%s: %s in %.0f s%s" % (name, result, float(seconds),
                                                ("  (%s)" % summary) if summary else ""))
                    steps.pop(name, None)
                elif word == "say":
                    print("    " + rest, flush=True)
                elif word == "exit":
                    status = int(rest.split()[0])
                    if status == 125:
                        say("the guest could not run the script: %s" % rest)
        cpu_seconds = qemu_cpu_seconds(qemu.pid)
        qemu.wait()
    except KeyboardInterrupt:
        qemu.kill()
        raise
    finally:
        if qemu.poll() is None:
            qemu.kill()
            qemu.wait()
        log.write("%8.1f (qemu ended, status %s)\n" % (time.time() - started, qemu.returncode))
        log.close()
    if status is None:
        say("qemu ended (status %s) before the guest's script did; see %s" % (qemu.returncode, args.log))
        status = 124
    # On a shared machine the wall times say little without these two.
    say("whole boot: %.0f s; qemu used %.0f CPU-s; load average %s" % (
        time.time() - started, cpu_seconds, open("/proc/loadavg").read().split()[1]))
    return status


if __name__ == "__main__":
    sys.exit(main())
