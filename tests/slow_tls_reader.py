"""A TLS collector on a slow link, for the slow-link test: small socket buffers, about RATE
bytes a second read, CONNECTIONS connections served one after another, each's plaintext into
DIR/connection-N.bin. With STALL, the first connection stops reading after STALL bytes for 4 s
(past the agent's time-out), then reads what is left until the agent closes.
    python3 slow_tls_reader.py DIR PORT RATE STALL CONNECTIONS   (DIR: scripts/test-certs.sh's)"""
import socket
import ssl
import sys
import time

directory, port, rate, stall, connections = sys.argv[1], *map(int, sys.argv[2:6])
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(f"{directory}/collector.pem", f"{directory}/collector.key")
context.load_verify_locations(f"{directory}/ca.pem")
context.verify_mode = ssl.CERT_REQUIRED
listener = socket.socket()
listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)  # the accepted ones take it
listener.bind(("127.0.0.1", port))
listener.listen(1)
listener.settimeout(60)
for number in range(connections):
    connection = context.wrap_socket(listener.accept()[0], server_side=True)
    connection.settimeout(30)
    received = 0
    with open(f"{directory}/connection-{number}.bin", "wb") as out:
        while True:
            try:
                data = connection.recv(4096)
            except (OSError, ssl.SSLError):
                break
            if not data:
                break
            out.write(data)
            out.flush()
            received += len(data)
            if number == 0 and 0 < stall <= received:
                stall = 0
                time.sleep(4)
            time.sleep(len(data) / rate)
    connection.close()
