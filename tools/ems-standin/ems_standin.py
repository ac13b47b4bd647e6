#!/usr/bin/env python3
"""Local stand-in for the home energy-management server's JSON-RPC endpoint.

Listens on 127.0.0.1 at the given port for HTTP POST requests to "/jsonrpc"
and answers the JSON-RPC 2.0 call "updateEnergyData" with the result true.
Every request body is printed on standard output as "received <body>"
(and "updateEnergyData cls=<n> limit=<W>" for a well-formed call); other
methods get the error -32601, bodies that are not JSON the error -32700.

It ends when its parent process ends (or on SIGTERM/SIGINT).
"""

import argparse
import json
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def compact(value):
    return json.dumps(value, separators=(",", ":"))


def answer_for(body):
    try:
        request = json.loads(body)
    except ValueError:
        return {"jsonrpc": "2.0", "id": None, "error": {"code": -32700, "message": "Parse error"}}
    if not isinstance(request, dict):
        return {"jsonrpc": "2.0", "id": None, "error": {"code": -32600, "message": "Invalid Request"}}
    request_id = request.get("id")
    params = request.get("params")
    if request.get("method") != "updateEnergyData":
        return {"jsonrpc": "2.0", "id": request_id, "error": {"code": -32601, "message": "Method not found"}}
    if not (isinstance(params, list) and len(params) == 2 and all(isinstance(p, int) for p in params)):
        return {"jsonrpc": "2.0", "id": request_id, "error": {"code": -32602, "message": "Invalid params"}}
    print("updateEnergyData cls=%d limit=%d" % (params[0], params[1]), flush=True)
    return {"jsonrpc": "2.0", "id": request_id, "result": True}


class Handler(BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0") or 0)
        body = self.rfile.read(length).decode("utf-8", "replace")
        print("received " + body, flush=True)
        if self.path != "/jsonrpc":
            self.send_error(404)
            return
        payload = compact(answer_for(body)).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    def log_message(self, *args):
        pass


def watch_parent(parent):
    while os.getppid() == parent:
        time.sleep(0.5)
    os._exit(0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=5000)
    args = parser.parse_args()
    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    threading.Thread(target=watch_parent, args=(os.getppid(),), daemon=True).start()
    print("listening %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
