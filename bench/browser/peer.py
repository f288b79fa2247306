#!/usr/bin/env python3
"""The peer of the browser benchmarks: a minimal DevTools client, standard library only.

Reads (read) or writes 50 values into (write) every http(s) page of a Chromium, one
Runtime.evaluate per page over a raw websocket to the browser endpoint.

  peer.py read|write (--port PORT | --profile DIR) [--match TEXT] [--repeat N] [--pipelined]

--port asks /json/version for the endpoint; --profile reads DIR/DevToolsActivePort. --repeat N
times the evaluations alone N times and prints their median; --pipelined sends every page's
evaluation before taking the answers.
"""
import argparse, base64, http.client, json, os, socket, statistics, struct, sys, time

READ = """(() => { const forms = [];
  for (const f of document.forms) forms.push(Array.from(f.elements, (e) =>
    [e.tagName, e.type || '', e.name || '', e.value || '', e.checked === true]));
  return {title: document.title, url: document.URL, forms}; })()"""
WRITE = """((edits) => { const forms = document.forms;
  for (const [f, i, v] of edits) { const e = forms[f].elements[i];
    Object.getOwnPropertyDescriptor(Object.getPrototypeOf(e), 'value').set.call(e, v);
    e.dispatchEvent(new Event('input', {bubbles: true}));
    e.dispatchEvent(new Event('change', {bubbles: true})); }
  return edits.length; })(%s)"""


class Socket:
    def __init__(self, port, path):
        self.s = socket.create_connection(("127.0.0.1", port))
        self.s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        key = base64.b64encode(os.urandom(16)).decode()
        self.s.sendall((f"GET {path} HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
                        f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                        "Sec-WebSocket-Version: 13\r\n\r\n").encode())
        self.buf = b""
        while b"\r\n\r\n" not in self.buf:
            self.buf += self.s.recv(4096)
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        if b" 101 " not in head.split(b"\r\n")[0]:
            sys.exit("peer: handshake refused: " + head.decode(errors="replace"))
        self.next_id = 0

    def take(self, n):
        while len(self.buf) < n:
            chunk = self.s.recv(1 << 16)
            if not chunk:
                sys.exit("peer: connection closed")
            self.buf += chunk
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def send_frame(self, opcode, payload):
        mask = os.urandom(4)
        n = len(payload)
        head = bytes([0x80 | opcode])
        head += bytes([0x80 | n]) if n < 126 else (
            struct.pack("!BH", 0x80 | 126, n) if n < 65536 else struct.pack("!BQ", 0x80 | 127, n))
        masked = bytes(b ^ mask[i & 3] for i, b in enumerate(payload))
        self.s.sendall(head + mask + masked)

    def receive(self):
        message = b""
        while True:
            b0, b1 = self.take(2)
            n = b1 & 0x7F
            if n == 126:
                n = struct.unpack("!H", self.take(2))[0]
            elif n == 127:
                n = struct.unpack("!Q", self.take(8))[0]
            payload = self.take(n)
            opcode = b0 & 0x0F
            if opcode == 9:
                self.send_frame(10, payload)
            elif opcode == 8:
                sys.exit("peer: the browser closed the connection")
            elif opcode in (0, 1):
                message += payload
                if b0 & 0x80:
                    return json.loads(message)

    def send(self, method, params, session=None):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        self.send_frame(1, json.dumps(message).encode())
        return self.next_id

    def answers(self, ids):
        wanted, got = set(ids), {}
        while wanted:
            m = self.receive()
            if m.get("id") in wanted:
                if "error" in m:
                    sys.exit(f"peer: {m['error']}")
                got[m["id"]] = m["result"]
                wanted.discard(m["id"])
        return [got[i] for i in ids]

    def call(self, method, params, session=None):
        return self.answers([self.send(method, params, session)])[0]


def endpoint(args):
    if args.profile:
        with open(os.path.join(args.profile, "DevToolsActivePort")) as f:
            port, path = f.read().split("\n")[:2]
        return int(port), path
    c = http.client.HTTPConnection("127.0.0.1", args.port, timeout=2)
    c.request("GET", "/json/version")
    url = json.loads(c.getresponse().read())["webSocketDebuggerUrl"]
    return args.port, "/" + url.split("/", 3)[3]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("op", choices=["read", "write"])
    p.add_argument("--port", type=int)
    p.add_argument("--profile")
    p.add_argument("--match", default="")
    p.add_argument("--repeat", type=int, default=1)
    p.add_argument("--pipelined", action="store_true")
    args = p.parse_args()
    ws = Socket(*endpoint(args))
    pages = [t for t in ws.call("Target.getTargets", {})["targetInfos"]
             if t["type"] == "page" and t["url"].startswith("http") and args.match in t["url"]]
    sessions = [ws.call("Target.attachToTarget", {"targetId": t["targetId"], "flatten": True})
                ["sessionId"] for t in pages]
    edits = json.dumps([[0, j, f"peer {j}"] for j in range(50)])
    params = {"expression": READ if args.op == "read" else WRITE % edits, "returnByValue": True}
    times, results = [], []
    for _ in range(args.repeat):
        start = time.perf_counter()
        if args.pipelined:
            results = ws.answers([ws.send("Runtime.evaluate", params, s) for s in sessions])
        else:
            results = [ws.call("Runtime.evaluate", params, s) for s in sessions]
        times.append((time.perf_counter() - start) * 1000)
    fields = sum(sum(map(len, r["result"]["value"]["forms"])) if args.op == "read"
                 else r["result"]["value"] for r in results)
    print(f"peer {args.op}: {len(pages)} pages, {fields} fields, "
          f"median {statistics.median(times):.2f} ms")


if __name__ == "__main__":
    main()
