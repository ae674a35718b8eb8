#!/usr/bin/env python3
"""Checks the console output of the boot test's guest (the "BOOT ..." lines of tests/boot/init
and tests/boot/guest.c): qarn loaded into a real kernel, classified each scenario's traffic,
answered the List commands byte for byte, and left nothing behind when it was unloaded.

usage: check_report.py CONSOLE_LOG
Prints each failed check and a closing count; exit status 1 when any check failed.
"""
import re
import struct
import sys

LAN = "192.168.1.2"
LISTED = "192.168.1.50"
WAN = "198.51.100.7"

BANNER = re.compile(r"QARN VR Version: 2\.0\.02\(2015-03-26\)\([A-Z][a-z]{2} [ \d]\d \d{4},"
                    r"\d\d:\d\d:\d\d\), SVN Ver: r130\[2015-07-22,19:32:33\] $")
KERNEL_TROUBLE = re.compile(r"WARNING:|BUG:|\bOops\b|Call Trace|general protection fault|"
                            r"UBSAN:|KASAN:|refcount_t:|list_add corruption|"
                            r"list_del corruption|unable to handle|stack-protector|cut here|"
                            r"Unable to open an initial console|Kernel panic")
PARAMS = ["qarn_debug", "check_http_jpg", "check_game_pkt_num", "check_game_pkt_avg_len",
          "check_pkt_st_num", "check_pkt", "check_rate", "high_prio_per_ct", "debug",
          "qarn_extended"]


def fields(text):
    """'a=1 b=x' -> {'a': '1', 'b': 'x'}"""
    return dict(item.split("=", 1) for item in text.split() if "=" in item)


class Report:
    def __init__(self, text):
        self.lines = {}
        for raw in text.splitlines():
            raw = raw.replace("\r", "")
            at = raw.find("BOOT ")
            if at < 0:
                continue
            tag, _, rest = raw[at + 5:].partition(" ")
            self.lines.setdefault(tag, []).append(rest)

    def get(self, tag):
        return self.lines.get(tag, [])

    def has(self, tag, rest=None):
        return any(rest is None or line == rest for line in self.get(tag))


class Checker:
    def __init__(self):
        self.passed = 0
        self.failed = []

    def check(self, ok, what):
        if ok:
            self.passed += 1
        else:
            self.failed.append(what)
        return ok


def packets_of(pkts, proto, client, server):
    """The packets of one connection, both directions, in the order seen."""
    ends = {client, server}
    return [p for p in pkts if p["proto"] == str(proto) and {p["src"], p["dst"]} == ends]


def conn_of(conns, proto, client, server):
    for c in conns:
        if c["proto"] == str(proto) and c["src"] == client and c["dst"] == server:
            return c
    return None


def reply_words(hexline):
    """'<hex>' of pid, length, size, then the reply -> (pid, length, size, [u32 words])."""
    data = bytes.fromhex(hexline)
    if len(data) < 12:
        return None
    pid, length, size = struct.unpack("<3I", data[:12])
    body = data[12:]
    return pid, length, size, list(struct.unpack("<%dI" % (len(body) // 4), body))


def check_list_commands(ck, rep, dmesg):
    replies = {}
    for line in rep.get("nl"):
        name, _, value = line.partition(" ")
        replies.setdefault(name, []).append(value)
    ck.check(not any("more-than-one-reply" in v for v in sum(replies.values(), [])),
             "a List command brought more than one reply")
    # the reply copies cmd, arg, aux2 and pid, and sets len 32, num 0, aux1 0, aux3 4
    expected = {
        "rule": (4242, 32, 32, [16, 1, 32, 0, 0, 0xA5A5A5A5, 4, 4242]),
        "add": (4243, 32, 32, [17, 0x55, 32, 0, 0, 0x11223344, 4, 4243]),
    }
    for name, want in expected.items():
        got = replies.get(name, ["none"])[0]
        ck.check(got != "none" and reply_words(got) == want,
                 "List command %s: reply %s, expected pid/len/size/words %r" % (name, got, want))
    for name in ("mismatch", "unknown"):
        ck.check(replies.get(name) == ["none"],
                 "List command %s: expected no reply, got %s" % (name, replies.get(name)))
    for line in ("CMD: 16 ", "Func = qarn_nl_clear_list, Line = 261,check_stat_rule:1",
                 "Func = fc_nl_set_rule, Line = 296,num:1",
                 "Func = qarn_set_ip_list, Line = 117,startip:0xc0a80132,endip:0xc0a80132",
                 "Func = fc_nl_set_rule, Line = 306,cmd->num:2,sn_num:3,fail ", "CMD: 18 "):
        ck.check(any(m.endswith(line) or m.endswith(line.rstrip()) for m in dmesg),
                 "kernel log lacks %r" % line)


def check_scenarios(ck, pkts, conns, dmesg):
    def conn_mark(name, proto, client, server, mark):
        c = conn_of(conns, proto, client, server)
        if not ck.check(c is not None, "%s: no connection %s -> %s" % (name, client, server)):
            return None
        ck.check(int(c["mark"], 16) == mark,
                 "%s: connection mark %s, expected 0x%x" % (name, c["mark"], mark))
        return c

    def connection(name, proto, client, server):
        ps = packets_of(pkts, proto, client, server)
        ck.check(len(ps) > 0, "%s: no packets %s <-> %s" % (name, client, server))
        for p in ps:
            ck.check(p["hook"] == "1" and p["conn"] == "1" and p["ret"] == "0",
                     "%s: packet %s: hook not called with a connection, or not 0" % (name, p))
            # app_dispatch_mark moves only LAN-side packets to the route mark of index 2
            want = "0x200" if p["dir"] == "0" else "0x0"
            ck.check(p.get("route") == want,
                     "%s: packet %s: route mark, expected %s" % (name, p, want))
        return ps

    # a web video: the first packets are web priority, the response settles it as video
    client, server = LAN + ":40080", WAN + ":80"
    ps = connection("video", 6, client, server)
    conn_mark("video", 6, client, server, 0x7D001)
    if ps:
        ck.check(ps[0]["src"] == client and ps[0]["prio"] == "3" and
                 int(ps[0]["mark"], 16) == 0x32800,
                 "video: first packet %s, expected class 3 group 10 and prio 3" % ps[0])
        video = [p for p in ps if p["src"] == server and int(p["mark"], 16) == 0x7D001]
        ck.check(len(video) > 0 and video[0]["prio"] == "65" and video[0]["dir"] == "1",
                 "video: no WAN-side response packet marked 0x7d001 with prio 65")

    # a DNS query from the LAN host
    client, server = LAN + ":40053", WAN + ":53"
    ps = connection("dns", 17, client, server)
    c = conn_mark("dns", 17, client, server, 0x23001)
    if c:
        ck.check(c["p2p_state"] == "3", "dns: p2p_state %s, expected 3" % c["p2p_state"])
    if ps:
        ck.check(ps[0]["src"] == client and ps[0]["dir"] == "0" and ps[0]["prio"] == "2",
                 "dns: query packet %s, expected LAN side and prio 2" % ps[0])

    # a PPTP tunnel from the LAN side: class 13 with group 0, and the VPN event line
    client, server = LAN + ":40723", WAN + ":1723"
    ps = connection("pptp", 6, client, server)
    conn_mark("pptp", 6, client, server, 0xD0000)
    if ps:
        ck.check(ps[0]["prio"] == "65", "pptp: first packet %s, expected prio 65" % ps[0])
    ck.check(any(m.endswith("R1 @#@ log_info n 192.168.1.2 - - vpnuse - -v2 PPTP VPN")
                 for m in dmesg), "pptp: kernel log lacks the VPN event line")

    # a mail server's greeting settles e-mail; every packet is on an e-mail port
    client, server = LAN + ":40025", WAN + ":25"
    ps = connection("smtp", 6, client, server)
    conn_mark("smtp", 6, client, server, 0xB3400)
    greeting = [p for p in ps if p["src"] == server and int(p["mark"], 16) == 0xB3400]
    ck.check(len(greeting) > 0 and greeting[0]["prio"] == "65",
             "smtp: no greeting packet marked 0xb3400 with prio 65")

    # a listed host while the rule flag is 1: exempt, and prio_class never written
    client, server = LISTED + ":40081", WAN + ":8081"
    ps = connection("listed", 6, client, server)
    conn_mark("listed", 6, client, server, 0x3F0000)
    for p in ps:
        ck.check(p["prio"] == "0", "listed: packet %s: prio_class was written" % p)

    # large segments in page fragments: the checks read past the linear part
    def paged(name, client, server, sender, mark):
        ps = connection(name, 6, client, server)
        conn_mark(name, 6, client, server, mark)
        split = [p for p in ps if p["src"] == sender and int(p["len"]) > int(p["linear"])
                 and int(p["len"]) > 20000]
        ck.check(len(split) > 0, "%s: no large segment kept in page fragments" % name)
        ck.check(any(int(p["mark"], 16) == mark for p in split),
                 "%s: the large segment did not set mark 0x%x: %s" % (name, mark, split))
    paged("large video", LAN + ":40082", WAN + ":80", WAN + ":80", 0x7D001)
    paged("large conference", LAN + ":40083", WAN + ":9000", LAN + ":40083", 0x50400)
    # check_email_dispatch: 1 exactly for TCP packets with an e-mail port (here only 25)
    for p in pkts:
        ports = {p["src"].rsplit(":", 1)[1], p["dst"].rsplit(":", 1)[1]}
        want = "1" if p["proto"] == "6" and "25" in ports else "0"
        ck.check(p["email"] == want, "packet %s: check_email_dispatch, expected %s" % (p, want))


def check_status(ck, lines, hooks, netlink, what):
    text = " ".join(lines)
    f = fields(text)
    for name in ("sys_app_recognize", "app_dispatch_mark", "check_email_dispatch",
                 "check_p2p_dispatch"):
        ck.check(f.get(name) == hooks, "%s: hook pointer %s is %s, expected %s" %
                 (what, name, f.get(name), hooks))
    ck.check(("netlink " + netlink) in lines, "%s: virtual netlink types %s, expected %s" %
             (what, [line for line in lines if line.startswith("netlink")], netlink))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], errors="replace") as f:
        rep = Report(f.read())
    ck = Checker()
    dmesg = rep.get("dmesg")

    for tag, rest in (("start", None), ("traffic", "done"), ("rmmod", "ok"),
                      ("after", "done"), ("end", None)):
        ck.check(rep.has(tag, rest), "the guest never reported %s %s" % (tag, rest or ""))
    for line in rep.get("error"):
        ck.check(False, "guest: " + line)

    ck.check(any(BANNER.search(m) for m in dmesg), "kernel log lacks qarn's banner")
    for m in dmesg:
        ck.check(not KERNEL_TROUBLE.search(m), "kernel log: " + m)
    check_status(ck, rep.get("loaded-status"), "1", "120", "after loading")
    params = set(rep.get("param"))
    ck.check(all(p in params for p in PARAMS), "module parameters %s, expected %s" %
             (sorted(params), PARAMS))

    ck.check(rep.has("param-value", "qarn_debug 4"), "qarn_debug did not take the value 4")
    for line in ("[qarn_check_http]:694 match the Content-Type: , checklen:9, offset: video/mp4",
                 "[qarn_check_http]:722 checklen:9, HTTP_WEB_VIDEO"):
        ck.check(any(m.endswith(line) for m in dmesg), "kernel log lacks the trace %r" % line)

    pkts = [fields(line) for line in rep.get("pkt")]
    conns = [fields(line) for line in rep.get("conn")]
    check_list_commands(ck, rep, dmesg)
    check_scenarios(ck, pkts, conns, dmesg)

    # unloaded: hooks empty, type 120 gone, the packet path no longer calls into qarn
    check_status(ck, rep.get("after-status"), "0", "none", "after unloading")
    late = [fields(line) for line in rep.get("after-pkt")]
    late = [p for p in late if p.get("src") == LAN + ":40999"]
    ck.check(len(late) == 1 and late[0]["hook"] == "0" and late[0]["email"] == "-1" and
             late[0]["p2p"] == "-1", "after unloading: packet %s reached a hook" % late)
    sent = [int(line.split()[1]) for line in rep.get("flood") if line.startswith("sent ")]
    ck.check(len(sent) == 1 and sent[0] > 0, "the flood during the unload sent nothing")
    modules = [line.split()[0] for line in rep.get("modules") if line.split()]
    ck.check("qarn" not in modules and "relayk_standin" in modules,
             "modules after unloading qarn: %s" % modules)

    for what in ck.failed:
        print("FAIL: " + what)
    print("boot: %d passed, %d failed" % (ck.passed, len(ck.failed)))
    sys.exit(1 if ck.failed else 0)


if __name__ == "__main__":
    main()
