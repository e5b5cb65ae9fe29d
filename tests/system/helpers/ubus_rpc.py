#!/usr/bin/python3
"""Test stand-in for the web server's /ubus endpoint (JSON-RPC 2.0 over HTTP),
as a CGI program: a "call" of the session object ({"params": [sid, "session",
method, args]}) goes to the bus through the ubus command, and the answer is
{"result": [status]} or {"result": [0, data]}. Only what the upload page and
the demo need; never shipped."""
import json
import os
import subprocess
import sys

UBUS = "/tmp/bin/ubus"      # where the web server's namespace has it


def answer(request_id, **member):
    sys.stdout.write("Status: 200 OK\r\nContent-Type: application/json\r\n\r\n"
                     + json.dumps({"jsonrpc": "2.0", "id": request_id, **member}))


def main():
    body = sys.stdin.buffer.read(int(os.environ.get("CONTENT_LENGTH") or 0))
    try:
        request = json.loads(body)
        sid, obj, method, args = request["params"]
        if request["method"] != "call" or not isinstance(args, dict):
            raise ValueError
    except (ValueError, KeyError, TypeError):
        return answer(None, error={"code": -32700, "message": "Parse error"})
    if obj != "session" or method not in ("login", "access", "destroy"):
        return answer(request.get("id"), error={"code": -32002, "message": "Access denied"})
    # With -S the command's exit status is the bus status itself (without it,
    # when standard error is no terminal, 256 less the status).
    r = subprocess.run([UBUS, "-S", "call", "session", method, json.dumps(args)],
                       capture_output=True, text=True)
    if r.returncode != 0:
        return answer(request.get("id"), result=[r.returncode])
    data = json.loads(r.stdout) if r.stdout.strip() else None
    return answer(request.get("id"), result=[0, data] if data is not None else [0])


if __name__ == "__main__":
    main()
