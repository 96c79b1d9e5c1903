#!/usr/bin/env python3
"""Stand-in for the update server: answers the five operations of the updater
("hi", "qu", "builds", "bird", "fix") on 127.0.0.1 over HTTP or HTTPS.

Layout of the data directory (--root):
  SERIAL/BUILD.bird      firmware files of one device (SERIAL as %08X)
  SERIAL/family          optional: the family text of the device (default "A")
  recovery               optional: lines "W0 W1 W2 W3 SERIAL BUILD" (hex words,
                         hex serial number, decimal build) for the "fix" operation
  faults.json            optional, read on every request: {"op": {fault}, ...},
                         "*" applying to every operation. A fault may hold:
                           "status": n        answer with this status ("location" for 302)
                           "body": "text"     answer with this body verbatim
                           "first": "text"    replace the first reply line ("ok")
                           "lines": [..]      replace the lines after the first one
                           "crlf": true       end the lines with CR LF
                           "truncate": n      cut n characters off the base64 line
                           "corrupt": true    put a character outside base64 into it
                           "delay": s         wait s seconds before the reply and,
                           "chunks": n        send the body in n pieces, s apart
                           "cut": true        close the connection mid-body
                           "stall": s         send half the body, then nothing for s
                                              seconds, then close the connection

Every request line received is appended to --log before it is answered.
The chosen port is printed on the first line of standard output.
With --tls the server speaks HTTPS with a self-signed certificate made here
with openssl, naming --cert-names (default IP:127.0.0.1,DNS:localhost).
"""

import argparse
import base64
import json
import os
import ssl
import struct
import subprocess
import sys
import threading
import time
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import unquote

PATH = "/cgi/u"


def bird_version(data):
    """The version text of a BIRD file's identity block, "" when there is none."""
    try:
        if data[:4] != b"bird":
            return ""
        body = zlib.decompress(data[6:])
        pos = 4
        while pos + 5 <= len(body) - 4:
            kind = body[pos] & 0x1F
            length = struct.unpack(">I", body[pos + 1:pos + 5])[0]
            payload = body[pos + 5:pos + 5 + length]
            if kind == 4 and len(payload) >= 32:
                text = payload[16:31].split(b" ")[0].split(b"\0")[0]
                return text.decode("ascii", "replace")
            pos += 5 + length
    except (zlib.error, struct.error):
        pass
    return ""


class Store:
    def __init__(self, root):
        self.root = root

    def device_dir(self, serial):
        return os.path.join(self.root, serial.upper())

    def builds(self, serial):
        """Build number -> file path of one device."""
        found = {}
        folder = self.device_dir(serial)
        if os.path.isdir(folder):
            for name in os.listdir(folder):
                stem, ext = os.path.splitext(name)
                if ext == ".bird" and stem.isdigit():
                    found[int(stem)] = os.path.join(folder, name)
        return found

    def family(self, serial):
        try:
            with open(os.path.join(self.device_dir(serial), "family")) as f:
                return f.read().strip() or "A"
        except OSError:
            return "A"

    def recovery(self, words):
        try:
            with open(os.path.join(self.root, "recovery")) as f:
                for line in f:
                    fields = line.split()
                    if len(fields) == 6 and [w.upper() for w in fields[:4]] == words:
                        return fields[4], fields[5]
        except OSError:
            pass
        return None

    def faults(self, op):
        try:
            with open(os.path.join(self.root, "faults.json")) as f:
                table = json.load(f)
        except (OSError, ValueError):
            return {}
        fault = dict(table.get("*", {}))
        fault.update(table.get(op, {}))
        return fault


def parse_query(query):
    """The updater's query string: key=value pairs, each followed by "&"."""
    params = {}
    for pair in query.split("&"):
        if pair:
            key, _, value = pair.partition("=")
            params[key] = value
    return params


def answer(store, params):
    """(lines) for a good request, or (None, reason)."""
    op = params.get("op", "")
    serial = params.get("sn", "")
    if op == "hi":
        return ["ok hello"], None
    if op == "qu":
        builds = store.builds(serial)
        if not builds:
            return None, "unknown device"
        return ["ok", str(max(builds)), store.family(serial)], None
    if op == "builds":
        builds = store.builds(serial)
        if not builds:
            return None, "unknown device"
        lines = ["ok"]
        for number in sorted(builds):
            with open(builds[number], "rb") as f:
                lines.append("%d;%s" % (number, bird_version(f.read())))
        return lines, None
    if op == "bird":
        builds = store.builds(serial)
        build = params.get("bld", "")
        if not build.isdigit() or int(build) not in builds:
            return None, "no such build"
        if params.get("fw", "") != store.family(serial):
            return None, "wrong family"
        with open(builds[int(build)], "rb") as f:
            return ["ok", base64.b64encode(f.read()).decode("ascii")], None
    if op == "fix":
        words = [w.upper() for w in unquote(params.get("fp", "")).split(" ")]
        found = store.recovery(words) if len(words) == 4 else None
        if not found:
            return None, "unknown fingerprint"
        return ["ok", found[0], found[1]], None
    return None, "unknown operation"


class Handler(BaseHTTPRequestHandler):
    server_version = "UpdateServer/1"

    def log_message(self, format, *args):  # keep stderr quiet
        pass

    def record(self):
        with self.server.log_lock:
            with open(self.server.log_path, "a") as log:
                log.write(self.requestline + "\n")

    def send_body(self, status, body, fault, headers=()):
        data = body.encode("utf-8")
        delay = float(fault.get("delay", 0))
        chunks = max(1, int(fault.get("chunks", 1)))
        if delay:
            time.sleep(delay)
        self.send_response(status)
        for key, value in headers:
            self.send_header(key, value)
        if fault.get("stall"):
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data[:len(data) // 2])
            self.wfile.flush()
            # The client gives up first; what it left is no concern here.
            self.connection.settimeout(float(fault["stall"]))
            try:
                self.connection.recv(1)
            except OSError:
                pass
            self.close_connection = True
            return
        if fault.get("cut"):
            self.send_header("Content-Length", str(len(data) + 100))
        elif chunks == 1:
            self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        step = (len(data) + chunks - 1) // chunks or 1
        for start in range(0, len(data), step):
            if start and delay:
                time.sleep(delay)
            self.wfile.write(data[start:start + step])
            self.wfile.flush()
        self.close_connection = True

    def do_GET(self):
        self.record()
        path, _, query = self.path.partition("?")
        params = parse_query(query)
        fault = self.server.store.faults(params.get("op", ""))
        if path != PATH:
            return self.send_body(404, "not found\n", {})
        status = int(fault.get("status", 200))
        if status == 302:
            return self.send_body(302, "moved\n", fault,
                                  [("Location", fault.get("location", "/elsewhere"))])
        if status != 200:
            return self.send_body(status, "fault %d\n" % status, fault)
        if "body" in fault:
            return self.send_body(200, fault["body"], fault)
        lines, reason = answer(self.server.store, params)
        if lines is None:
            lines = ["error", reason]
        if "first" in fault:
            lines[0] = fault["first"]
        if "lines" in fault:
            lines = lines[:1] + list(fault["lines"])
        if params.get("op") == "bird" and len(lines) > 1:
            text = lines[1]
            if fault.get("truncate"):
                text = text[:-int(fault["truncate"])]
            if fault.get("corrupt"):
                text = "*" + text[1:]
            lines[1] = text
        end = "\r\n" if fault.get("crlf") else "\n"
        self.send_body(200, "".join(line + end for line in lines), fault)


def make_certificate(folder, names):
    key = os.path.join(folder, "server.key")
    cert = os.path.join(folder, "server.crt")
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=update server",
         "-addext", "subjectAltName=" + names],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def main():
    parser = argparse.ArgumentParser(description="update server stand-in")
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--tls", action="store_true")
    parser.add_argument("--cert-names", default="IP:127.0.0.1,DNS:localhost")
    args = parser.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.store = Store(args.root)
    server.log_path = args.log
    server.log_lock = threading.Lock()
    if args.tls:
        cert, key = make_certificate(os.path.dirname(os.path.abspath(args.log)), args.cert_names)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    open(args.log, "a").close()
    sys.stdout.write("%d\n" % server.server_address[1])
    sys.stdout.flush()
    server.serve_forever()


if __name__ == "__main__":
    main()
