"""Interim stand-ins for the demo: the terminal's FTP server (pyftpdlib, with a picture) and
the cloud portal's data calls and pages. Writes "ready FTP_PORT" to the file named by its last
argument when both listen. Usage: demo_standins.py WORKDIR PORTAL_PORT READY_FILE"""

import http.server
import logging
import os
import sys
import threading
import urllib.parse

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer

work, portal_port, ready_file = sys.argv[1], int(sys.argv[2]), sys.argv[3]
ftp_root = os.path.join(work, "terminal-ftp")
os.makedirs(os.path.join(ftp_root, "snap"), exist_ok=True)
# A small but well-formed JPEG-looking picture: start and end markers around random bytes.
with open(os.path.join(ftp_root, "snap", "demo1.jpg"), "wb") as f:
    f.write(b"\xff\xd8\xff\xe0" + os.urandom(200_000) + b"\xff\xd9")

logging.basicConfig(level=logging.WARNING)
authorizer = DummyAuthorizer()
authorizer.add_user("anonymous", "58317094", ftp_root, perm="elr")
FTPHandler.authorizer = authorizer
FTPHandler.permit_foreign_addresses = False
ftp = FTPServer(("127.0.0.1", 0), FTPHandler)
threading.Thread(target=ftp.serve_forever, daemon=True).start()

uploads = []
PAGE = """<!doctype html><meta charset="utf-8"><title>{title}</title><h1>{title}</h1>
<script>function ins(cardid, picurl, time) {{ document.body.append(cardid + " " + time); }}</script>"""


class Portal(http.server.BaseHTTPRequestHandler):
    def reply(self, body, content_type="text/html; charset=utf-8"):
        data = body.encode("utf-8")
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_GET(self):
        path = urllib.parse.urlsplit(self.path).path
        if path == "/wgate/wgate_gethid.asp":
            self.reply("HID-DEMO-1", "text/plain")
        elif path == "/wgate/pmr_getsp.html":
            self.reply("SP-DEMO", "text/plain")
        else:
            self.reply(PAGE.format(title=path))

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        form = urllib.parse.parse_qs(self.rfile.read(length).decode("ascii"))
        uploads.append(form)
        size = len(form.get("picbase64", [""])[0])
        print("portal: upload pid=%s taketime=%s picbase64=%d chars (upload %d)" %
              (form.get("pid", [""])[0], form.get("taketime", [""])[0], size, len(uploads)),
              flush=True)
        self.reply("上传成功")

    def log_message(self, *args):
        pass


portal = http.server.ThreadingHTTPServer(("127.0.0.1", portal_port), Portal)
with open(ready_file + ".tmp", "w") as f:
    f.write("ready %d\n" % ftp.address[1])
os.replace(ready_file + ".tmp", ready_file)
portal.serve_forever()
