"""Abuse of both HTTP services of the real bridge: slow clients, floods of dropped connections,
oversized heads and bodies, and undecodable text in every JSON field. Real callbacks keep
being answered. Run: test_http_abuse.py PMRFACE"""

import json
import socket
import threading
import time
import unittest

from harness import (OK_REPLY, PAGE_PORT, BridgeTest, http_get_raw, parse_reply,
                     raw_exchange)


class HttpAbuseTest(BridgeTest):
    def timed_callback(self):
        started = time.time()
        self.assertEqual(self.callback(b'{"personId":"7","type":"card"}', timeout=20),
                         (200, OK_REPLY))
        return time.time() - started

    def test_slow_clients_do_not_starve_callbacks(self):
        self.start()
        stop = threading.Event()
        slow = []
        for host, port in ((self.address, 8090), ("127.0.0.1", PAGE_PORT)):
            for i in range(100):
                s = socket.create_connection((host, port), timeout=10)
                if i % 2:
                    s.sendall(b"POST /index.html HTTP/1.1\r\nContent-Length: 100000\r\n\r\n")
                slow.append((s, i % 2))

        def trickle():
            while not stop.is_set():
                for s, body in slow:
                    try:
                        s.send(b"x" if body else b"X-Slow: 1\r\n"[:1])
                    except OSError:
                        pass
                stop.wait(0.5)

        feeder = threading.Thread(target=trickle)
        feeder.start()
        try:
            for _ in range(5):
                self.assertLess(self.timed_callback(), 5.0)
                status, _ = http_get_raw(b"/missing.jpg", timeout=20)
                self.assertEqual(status, 200)
                time.sleep(0.5)
        finally:
            stop.set()
            feeder.join()
            for s, _ in slow:
                s.close()
        self.assert_healthy()

    def test_dropped_connections_release_threads_and_fds(self):
        bridge = self.start()
        self.assert_healthy()
        time.sleep(3)  # idle connection threads from the first call go
        threads0, fds0 = bridge.threads_and_fds()
        # Batches no larger than the listen backlog (15), so no SYN waits for a retransmission.
        for batch in range(10_000 // 10):
            conns = []
            for _ in range(10):
                host, port = ((self.address, 8090) if batch % 2 else ("127.0.0.1", PAGE_PORT))
                try:
                    conns.append(socket.create_connection((host, port), timeout=5))
                except OSError:
                    pass  # a full backlog refuses some; what was accepted matters
            for c in conns:
                c.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
                c.close()
        self.assert_healthy()
        deadline = time.time() + 30
        while time.time() < deadline:
            threads, fds = bridge.threads_and_fds()
            if threads <= threads0 + 4 and fds <= fds0 + 4:
                break
            time.sleep(0.5)
        self.assertLessEqual(threads, threads0 + 4)
        self.assertLessEqual(fds, fds0 + 4)

    def test_oversized_requests(self):
        self.start()
        for host, port in ((self.address, 8090), ("127.0.0.1", PAGE_PORT)):
            with self.subTest(port=port):
                body = b"{" + b" " * (1 << 20) + b"}"
                raw = raw_exchange(host, port, b"POST /index.html HTTP/1.1\r\nContent-Length: "
                                   + str(len(body)).encode() + b"\r\n\r\n" + body)
                self.assertEqual(parse_reply(raw)[0], 413)
                # Announced but never sent: refused at once.
                raw = raw_exchange(host, port, b"POST / HTTP/1.1\r\nContent-Length: "
                                   b"99999999999\r\n\r\n", timeout=10)
                self.assertEqual(parse_reply(raw)[0], 413)
                # No length: read to the end, still capped.
                try:
                    with socket.create_connection((host, port), timeout=20) as s:
                        s.sendall(b"POST / HTTP/1.1\r\n\r\n")
                        try:
                            s.sendall(b"a" * ((1 << 20) + 10000))
                        except OSError:
                            pass
                        s.shutdown(socket.SHUT_WR)
                        reply = s.recv(4096)
                    self.assertEqual(parse_reply(reply)[0], 413)
                except ConnectionResetError:
                    pass  # closed while we still sent: the refusal may be lost, no crash
                for head in (b"GET /" + b"a" * 20000 + b" HTTP/1.1\r\n\r\n",
                             b"GET / HTTP/1.1\r\n" + b"X-Long: " + b"b" * 20000 + b"\r\n\r\n",
                             b"GET / HTTP/1.1\r\n" + b"X-Many: 1234567890\r\n" * 120000 +
                             b"\r\n"):
                    try:
                        raw = raw_exchange(host, port, head, timeout=30)
                    except (ConnectionResetError, BrokenPipeError):
                        raw = b""
                    status = parse_reply(raw)[0]
                    self.assertTrue(status is None or status >= 400, raw[:200])
                self.assertTrue(self.bridge.alive())
        self.assert_healthy()

    def test_undecodable_text_in_every_field(self):
        bridge = self.start()
        bad = [b"\xff\xfe", b"\xc0\xae", b"\xed\xa0\x80", b"\xd5\xc5\xc8\xfd",  # GBK 张三
               b"\xe5\xbc", b"\x81\x30\x81\x30"]
        fields = ["personId", "type", "path", "time"]
        for raw_text in bad:
            for field in fields:
                values = {"personId": b'"1"', "type": b'"face_0"',
                          "path": b'"ftp://127.0.0.1:1/p/a.jpg"', "time": b"0"}
                values[field] = b'"x' + raw_text + b'"'
                body = b"{" + b",".join(json.dumps(k).encode() + b":" + v
                                        for k, v in values.items()) + b"}"
                self.assertEqual(self.callback(body, timeout=40), (200, OK_REPLY), body)
        # GBK and broken bytes in the page API's parameters too.
        for raw_text in (b"%D5%C5", b"%FF%FE", b"%C0%AE"):
            status, _ = http_get_raw(b"/update?pid=1&name=" + raw_text, timeout=20)
            self.assertEqual(status, 200)
        self.assertTrue(bridge.alive())
        self.assert_healthy()


if __name__ == "__main__":
    unittest.main(verbosity=2)
