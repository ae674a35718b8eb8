#!/usr/bin/env python3
# The BitTorrent harness of the real-traffic test, not a peer:
#   bittorrent.py torrent FILE ANNOUNCE OUT   writes a single-file torrent of FILE
#   bittorrent.py tracker ADDR PORT           an HTTP tracker; each torrent's peers learn only
#                                             of each other
import hashlib, http.server, socket, struct, sys, urllib.parse

def bencode(v):
    if isinstance(v, int):
        return b"i%de" % v
    if isinstance(v, str):
        v = v.encode()
    if isinstance(v, bytes):
        return b"%d:%s" % (len(v), v)
    return b"d" + b"".join(bencode(k) + bencode(v[k]) for k in sorted(v)) + b"e"

if sys.argv[1] == "torrent":  # torrent FILE ANNOUNCE OUT
    data = open(sys.argv[2], "rb").read()
    piece = 16384
    pieces = b"".join(hashlib.sha1(data[i:i + piece]).digest()
                      for i in range(0, len(data), piece))
    info = {"name": sys.argv[2].rsplit("/", 1)[-1], "length": len(data),
            "piece length": piece, "pieces": pieces}
    open(sys.argv[4], "wb").write(bencode({"announce": sys.argv[3], "info": info}))
    sys.exit(0)

swarms = {}  # tracker ADDR PORT: every peer that announced, compact, by info hash

class Tracker(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        if url.path != "/announce":  # no scrapes
            self.send_error(404)
            return
        q = urllib.parse.parse_qs(url.query, encoding="latin-1")
        peers = swarms.setdefault(q["info_hash"][0], [])
        me = socket.inet_aton(self.client_address[0]) + struct.pack(">H", int(q["port"][0]))
        if me not in peers:
            peers.append(me)
        body = bencode({"interval": 5, "peers": b"".join(p for p in peers if p != me)})
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass

http.server.HTTPServer((sys.argv[2], int(sys.argv[3])), Tracker).serve_forever()
