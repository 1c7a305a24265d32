"""A loopback SMTP server for the consumer checks: accepts every message,
appends each one's data to MESSAGES, and writes its port to PORT_FILE once it
listens. Ends on SIGTERM. Usage: sink.py PORT_FILE MESSAGES"""
import signal
import socketserver
import sys


class Session(socketserver.StreamRequestHandler):
    def reply(self, text):
        self.wfile.write(text.encode() + b"\r\n")

    def handle(self):
        self.reply("220 consumer-check ESMTP")
        while True:
            line = self.rfile.readline()
            if not line:
                return
            verb = line.decode("latin-1").strip().split(" ")[0].upper()
            if verb == "DATA":
                self.reply("354 end with <CRLF>.<CRLF>")
                data = b""
                while True:
                    chunk = self.rfile.readline()
                    if not chunk or chunk == b".\r\n":
                        break
                    data += chunk
                with open(sys.argv[2], "ab") as out:
                    out.write(data + b"\n--\n")
                self.reply("250 2.0.0 queued")
            elif verb == "QUIT":
                self.reply("221 2.0.0 bye")
                return
            else:
                self.reply("250 ok")


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


server = Server(("127.0.0.1", 0), Session)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
with open(sys.argv[1], "w") as port_file:
    port_file.write(str(server.server_address[1]))
server.serve_forever()
