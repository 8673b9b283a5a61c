"""Soak: several terminal stand-ins posting events at a steady rate against the bridge for a
long while, with the portal stand-in failing a share of the uploads (500). RSS, thread count and
open file descriptors of the bridge are sampled every 10 s; after warm-up they must stay flat
(growth under 5 %), every event must be answered and every stored picture must reach the portal
exactly once with its own bytes, the failed ones through the bridge's retries: after the run the
portal stops failing and the soak waits (at most --settle seconds) for them.

  python3 bench/soak.py --build build/default [--seconds 600] [--terminals 3] [--rate 5]
                        [--fail-uploads 0.2] [--settle 120]
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import standins  # noqa: E402


def sample(pid):
    rss = threads = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    return rss, threads, fds


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/default")
    parser.add_argument("--seconds", type=int, default=600)
    parser.add_argument("--terminals", type=int, default=3)
    parser.add_argument("--rate", type=float, default=5.0)
    parser.add_argument("--interval", type=int, default=10)
    parser.add_argument("--fail-uploads", type=float, default=0.2,
                        help="share of upload requests the portal answers 500 (0 = none)")
    parser.add_argument("--settle", type=float, default=120,
                        help="seconds to wait after the run for retried uploads to arrive")
    args = parser.parse_args()
    if not 0 <= args.fail_uploads <= 1:
        parser.error("--fail-uploads wants a share from 0 to 1")
    build = os.path.abspath(args.build)
    binaries = {
        "pmrface": os.path.join(build, "app", "main", "pmrface"),
        "terminal_sim": os.path.join(build, "tools", "terminal_sim", "terminal_sim"),
        "portal_sim": os.path.join(build, "tools", "portal_sim", "portal_sim"),
    }
    rig = standins.Rig(binaries, base="127.0.70", terminals=args.terminals, rate=args.rate,
                       fail_uploads=args.fail_uploads)
    failures = []
    try:
        rig.start()
        pid = rig.bridge.proc.pid
        # The stand-ins post only once their callback is registered, so counts start at zero.
        samples = []
        print("   t/s    RSS/KiB  threads  fds  events  stored  uploads  failed", flush=True)
        start = time.monotonic()
        while True:
            elapsed = time.monotonic() - start
            rss, threads, fds = sample(pid)
            s = rig.summary()
            samples.append((elapsed, rss, threads, fds))
            print(f"{elapsed:6.0f} {rss:10d} {threads:8d} {fds:4d} {s['events_sent']:7d} "
                  f"{s['pictures_stored']:7d} {s['uploads_received']:8d} {s['uploads_failed']:7d}",
                  flush=True)
            if elapsed >= args.seconds:
                break
            time.sleep(max(0.0, args.interval - (time.monotonic() - start - elapsed)))
        for t in rig.terminals:
            t.pause(True)
        time.sleep(2)
        settle_start = time.monotonic()
        settled = rig.wait_uploads_settled(timeout=args.settle, stop_failing=True)
        settle_seconds = time.monotonic() - settle_start
        summary = rig.summary()
        check = rig.upload_check()
        failures += rig.problems(check)
        # Warm-up: the first third (at least the first two samples) fills pools and caches.
        warm = samples[max(2, len(samples) // 3):]
        if len(warm) >= 2:
            # Flat means no trend: the later half of the samples against the earlier half.
            # Single samples swing with the connections and buffers in flight at that instant.
            half = len(warm) // 2
            for index, name, slack in ((1, "RSS/KiB", 1024), (2, "threads", 4), (3, "fds", 4)):
                early = sum(s[index] for s in warm[:half]) / half
                late = sum(s[index] for s in warm[half:]) / (len(warm) - half)
                if late > early * 1.05 + slack:
                    failures.append(f"{name} grew from {early:.0f} to {late:.0f} after warm-up")
        print("summary: " + ", ".join(f"{k}={v}" for k, v in summary.items())
              + f", events_per_second={summary['events_sent'] / max(1, args.seconds):.1f}",
              flush=True)
        print(f"soak: lost: {check['lost']}, duplicates: {check['duplicates']}, "
              f"foreign: {check['foreign']}, stored: {check['stored']}, "
              f"uploaded: {check['uploaded']}, failed uploads: {summary['uploads_failed']} "
              f"(share {args.fail_uploads:g}), "
              + (f"settled after {settle_seconds:.0f} s" if settled
                 else f"not settled after {settle_seconds:.0f} s"), flush=True)
    finally:
        rig.close()
    for f in failures:
        print("soak: FAILED: " + f, flush=True)
    print("soak: " + ("passed" if not failures else "failed"), flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
