"""An RFC 3161 time-stamping authority on loopback for the signing test: answers each POSTed
time-stamp query with `openssl ts -reply`, prints its port, and ends by itself after 300 s.
    python3 tests/tsa_server.py DIR   (DIR holds tsa.cnf, tsa.pem, tsa.key, tsa-ca.pem)"""
import http.server
import subprocess
import sys
import threading

directory = sys.argv[1]


class Authority(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        reply = subprocess.run(
            ["openssl", "ts", "-reply", "-queryfile", "/dev/stdin", "-config", "tsa.cnf",
             "-signer", "tsa.pem", "-inkey", "tsa.key", "-chain", "tsa-ca.pem", "-out", "-"],
            input=query, capture_output=True, cwd=directory, timeout=20)
        ok = reply.returncode == 0 and self.headers.get("Content-Type") == "application/timestamp-query"
        self.send_response(200 if ok else 400)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply.stdout) if ok else 0))
        self.end_headers()
        if ok:
            self.wfile.write(reply.stdout)

    def log_message(self, *_):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Authority)
print(server.server_address[1], flush=True)
threading.Timer(300, server.shutdown).start()
server.serve_forever(poll_interval=0.5)
