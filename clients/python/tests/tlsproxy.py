"""A TLS front for the relay's plain client port, with a test CA made here.

It stands in for the relay's own TLS port so that the library's TLS path is
tried against the real relay behind it: each TLS connection accepted is paired
with a plain connection to the relay, and bytes are copied both ways as they
come (one read, one write) by one thread, so the relay sees the client's writes as they were.
"""

import select
import socket
import ssl
import subprocess
import threading


def make_certificates(folder):
    """(ca.pem, server.pem, server.key) for 127.0.0.1, signed by a fresh CA."""
    def openssl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=Telvane test CA")
    openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1")
    (folder / "san.ext").write_text("subjectAltName=IP:127.0.0.1\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "san.ext")
    return folder / "ca.pem", folder / "server.pem", folder / "server.key"


class TlsProxy:
    def __init__(self, folder, target_port):
        self.ca, cert, key = make_certificates(folder)
        self._context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._context.load_cert_chain(cert, key)
        self._target = target_port
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                plain, _ = self._listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve, args=(plain,), daemon=True).start()

    def _serve(self, plain):
        """One thread per connection: an SSL object is never used by two at once."""
        try:
            secure = self._context.wrap_socket(plain, server_side=True)
        except (OSError, ssl.SSLError):
            plain.close()
            return
        relay = socket.create_connection(("127.0.0.1", self._target))
        relay.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            while True:
                ready = [secure] if secure.pending() else \
                    select.select([secure, relay], [], [])[0]
                source, target = (secure, relay) if secure in ready else (relay, secure)
                data = source.recv(65536)
                if not data:
                    break
                target.sendall(data)
        except OSError:
            pass
        finally:
            secure.close()
            relay.close()

    def close(self):
        self._listener.close()
