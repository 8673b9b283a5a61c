"""The demo: the portal stand-in, a terminal stand-in and the bridge on loopback, with the live
log of all three, ending on Ctrl-C or after --events N with a summary.

Run through tools/demo.sh, which builds what is missing first."""

import argparse
import os
import signal
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import standins  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", required=True, help="build folder with the programs")
    parser.add_argument("--events", type=int, default=0,
                        help="end after this many events in all (0: run until Ctrl-C)")
    parser.add_argument("--terminals", type=int, default=1)
    parser.add_argument("--rate", type=float, default=2.0, help="events per second per terminal")
    parser.add_argument("--fail-uploads", type=float, default=0.0,
                        help="share of upload requests the portal answers 500 (0 to 1)")
    parser.add_argument("--window", action="store_true",
                        help="the bridge's desktop window (a build with the GTK window)")
    parser.add_argument("--keep", action="store_true", help="keep the sandbox folder")
    args = parser.parse_args()

    binaries = {
        "pmrface": os.path.join(args.build, "app", "main", "pmrface"),
        "terminal_sim": os.path.join(args.build, "tools", "terminal_sim", "terminal_sim"),
        "portal_sim": os.path.join(args.build, "tools", "portal_sim", "portal_sim"),
    }
    lock = threading.Lock()

    def echo(name, line):
        if "/sim/" in line:
            return  # the demo's own read-outs of the stand-ins' counters
        with lock:
            print(line if not name.startswith("bridge") else "bridge: " + line, flush=True)

    per_terminal = 0
    if args.events:
        per_terminal = -(-args.events // args.terminals)
    stop = threading.Event()
    signal.signal(signal.SIGINT, lambda *a: stop.set())
    signal.signal(signal.SIGTERM, lambda *a: stop.set())

    try:
        socket.create_connection(("127.0.0.1", 8091), timeout=1).close()
        print("demo: 127.0.0.1:8091 is taken (another pmrface?); the bridge needs that port. "
              "Stop that program, or wait for it, and start the demo again.", flush=True)
        return 1
    except OSError:
        pass

    rig = standins.Rig(binaries, base="127.0.0", terminals=args.terminals, rate=args.rate,
                       events=per_terminal, heartbeat=5, echo=echo, keep=args.keep,
                       fail_uploads=args.fail_uploads)
    print(f"demo: sandbox {rig.work}", flush=True)
    code = 1
    try:
        if args.window:
            show_window(rig)
        else:
            rig.start()
        ended_by_user = rig.bridge.proc.poll
        if args.events:
            wanted = per_terminal * args.terminals

            def done():
                s = rig.summary()
                return s["events_sent"] >= wanted and s["callbacks_answered"] >= s["events_sent"]
            while not stop.is_set() and not done() and ended_by_user() is None:
                time.sleep(0.2)
        else:
            # Ctrl-C, or 退出 chosen in the window.
            while not stop.wait(0.2) and ended_by_user() is None:
                pass
        if ended_by_user() is not None:
            print(f"demo: the bridge has ended (exit code {ended_by_user()})", flush=True)
        # Failed uploads come again only after a pause: more time when some fail.
        rig.wait_uploads_settled(timeout=120 if args.fail_uploads else 30, stop_failing=True)
        summary = rig.summary()
        problems = rig.problems()
        with lock:
            print("---- summary", flush=True)
            print(f"events sent:          {summary['events_sent']}")
            print(f"callbacks answered:   {summary['callbacks_answered']}")
            print(f"pictures fetched:     {summary['pictures_fetched']}")
            print(f"pictures stored:      {summary['pictures_stored']}  ({rig.bridge.pic_dir})")
            print(f"uploads received:     {summary['uploads_received']}")
            print(f"uploads failed (500): {summary['uploads_failed']}")
            print(f"ins calls:            {summary['ins_calls']}")
            print(f"lost events:          {standins.lost_events(summary)}", flush=True)
            for p in problems:
                print("problem: " + p, flush=True)
        code = 0 if not problems else 1
    finally:
        codes = rig.close()
        with lock:
            print("demo: exit codes " + ", ".join(f"{k}={v}" for k, v in codes.items()),
                  flush=True)
    return code


def show_window(rig):
    """The bridge in its desktop window, as a school's PC runs it: an installation configured
    before, which binds its terminal by itself. The terminals hold their events until both
    portal pages have loaded, so that every recognition becomes a row of the live list."""
    rig.start(bind=False, hold_events=True, ui="gtk",
              config={"FIPCAddr1": rig.terminal_address(0)})
    bridge = rig.bridge
    bridge.wait_for(r"^navigate\[main\]: ", timeout=30)
    bridge.wait_for(r"^navigate\[left\]: ", timeout=30)
    if not standins.wait_until(lambda: rig.terminals[0].stats()["callback_url"]
                               == bridge.callback_url, 30):
        raise RuntimeError("the bridge did not bind its terminal")
    for t in rig.terminals[1:]:
        t.register_callback(bridge.callback_url)
    time.sleep(3 * standins.SCALE)  # the pages load
    for t in rig.terminals:
        t.pause(False)


if __name__ == "__main__":
    sys.exit(main())
