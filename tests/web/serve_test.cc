// Whole requests through portal-web's serve(): the login request a form becomes (read byte
// for byte by a fake login socket), forms that must never become a request, the probes, the
// redirect of other hosts' pages, and the operator's page with its token.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "auth/requests.h"
#include "cgi.h"
#include "csrf.h"
#include "portald_fixture.h"
#include "site.h"

namespace web {
namespace {

using testing_support::Bytes;

// The daemon's end of the login socket: accepts connections, keeps each request and answers
// with the given result (or closes without a reply when it is 0).
class FakeLoginSocket {
 public:
  FakeLoginSocket(const std::string& path, int32_t result) : result_(result) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
    unlink(path.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(fd_, 4) != 0) {
      std::abort();
    }
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeLoginSocket() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  std::vector<Bytes> requests() {
    std::lock_guard<std::mutex> l(mu_);
    return requests_;
  }

 private:
  void serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      const int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      Bytes req(auth::kRecordSize);
      size_t got = 0;
      while (got < req.size()) {
        const ssize_t n = read(c, req.data() + got, req.size() - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      req.resize(got);
      {
        std::lock_guard<std::mutex> l(mu_);
        requests_.push_back(req);
      }
      if (result_ != 0) {
        unsigned char reply[auth::kRecordSize] = {};
        std::memcpy(reply, &result_, 4);
        (void)!write(c, reply, sizeof(reply));
      }
      close(c);
    }
  }

  int fd_ = -1;
  int32_t result_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::vector<Bytes> requests_;
};

class Serve : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("PORTALD_ROOT", root_.dir().c_str(), 1);
    setenv("NVRAM_FILE", root_.path("/nvram.conf").c_str(), 1);
    setenv("PORTAL_WEB_NEIGHBOURS", root_.path("/arp").c_str(), 1);
    unsetenv("PORTAL_WEB_ADMIN");
    unsetenv("PORTALD_KERNEL_SOCKET");
    root_.write("/arp",
                "IP address       HW type     Flags       HW address            Mask     Device\n"
                "192.168.1.20     0x1         0x2         02:00:00:00:00:20     *        br0\n");
    testing_support::set_nvram("WEBAUTH_SECTYPE", "USERS");
  }
  void TearDown() override {
    testing_support::unset_nvram("WEBAUTH_SECTYPE");
    unsetenv("PORTALD_ROOT");
  }

  Request post(const std::string& path, const std::string& body) {
    Request r = get(path);
    r.method = "POST";
    r.content_type = "application/x-www-form-urlencoded";
    r.body = body;
    return r;
  }
  Request get(const std::string& path) {
    Request r;
    r.method = "GET";
    r.path = path.substr(0, path.find('?'));
    r.request_uri = path;
    r.query = path.find('?') == std::string::npos ? "" : path.substr(path.find('?') + 1);
    r.host = "192.168.1.1";
    r.server_addr = "192.168.1.1";
    r.server_port = "80";
    r.remote_addr = "192.168.1.20";
    return r;
  }
  std::string header(const Response& r, const std::string& name) {
    for (const auto& h : r.headers) {
      if (h.first == name) return h.second;
    }
    return "";
  }

  testing_support::TempRoot root_;
};

TEST_F(Serve, AFormBecomesOneWholeLoginRequest) {
  FakeLoginSocket daemon(root_.path("/tmp/R3localsocket_login"), auth::LOGIN_OK);
  const std::string code(64, 'c');  // fills the field: sent without a NUL, never cut
  const Response r = serve(post("/login", "code=" + code + "&url=http%3A%2F%2Fwan.example%2F"));
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("You are connected."), std::string::npos);
  EXPECT_NE(r.body.find("href=\"http://wan.example/\""), std::string::npos);
  const std::vector<Bytes> reqs = daemon.requests();
  ASSERT_EQ(reqs.size(), 1u);
  ASSERT_EQ(reqs[0].size(), auth::kRecordSize);
  const unsigned char* q = reqs[0].data();
  EXPECT_EQ(auth::record_word(q, 0), auth::LOGIN_REQUEST_TYPE);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(q + 4), 64), code);
  EXPECT_EQ(auth::field_text(q, auth::kLoginPassword), "");
  EXPECT_EQ(auth::field_text(q, auth::kLoginClientIp), "192.168.1.20");
  EXPECT_EQ(auth::field_text(q, auth::kLoginClientMac), "02:00:00:00:00:20")
      << "the MAC address comes from the neighbour table";
  EXPECT_EQ(auth::field_text(q, auth::kLoginExtraA), "");
  for (size_t i = 256; i < auth::kRecordSize; ++i) EXPECT_EQ(q[i], 0) << "byte " << i;
}

TEST_F(Serve, FormsThatCannotBeSentWholeComeBackWithASentence) {
  FakeLoginSocket daemon(root_.path("/tmp/R3localsocket_login"), auth::LOGIN_OK);
  struct Row {
    const char* situation;
    std::string body;
    const char* sentence;
  };
  const Row rows[] = {
      {"one too long", "code=" + std::string(65, 'c'),
       "Access code: too long; at most 64 characters fit."},
      {"empty", "code=", "Please enter your access code."},
      {"no field at all", "", "Please enter your access code."},
      {"line feed", "code=a%0Ab", "Access code: holds characters that cannot be used."},
      {"nul", "code=a%00b", "Access code: holds characters that cannot be used."},
      {"broken escape", "code=a%4", "The form could not be read. Please fill it in again."},
      {"field twice", "code=a&code=b", "The form could not be read. Please fill it in again."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    const Response r = serve(post("/login", row.body));
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find(row.sentence), std::string::npos) << r.body;
    EXPECT_NE(r.body.find("name=\"code\""), std::string::npos) << "the form again";
  }
  Request big = post("/login", "");
  big.body_too_large = true;
  EXPECT_EQ(serve(big).status, 400);
  testing_support::set_nvram("WEBAUTH_SECTYPE", "EMAIL");
  const Response r = serve(post("/login", "mailbox=m&password=" + std::string(17, 'p')));
  EXPECT_NE(r.body.find("Password: too long; at most 16 characters fit."), std::string::npos);
  EXPECT_TRUE(daemon.requests().empty()) << "nothing reached the daemon";
}

TEST_F(Serve, WhatWasTypedIsShownAgainAsText) {
  FakeLoginSocket daemon(root_.path("/tmp/R3localsocket_login"), 0);
  const Response r = serve(post("/login", "code=%3Cscript%3Ex%3C%2Fscript%3E&url=javascript%3Ax"));
  EXPECT_NE(r.body.find("This access code is not known."), std::string::npos);
  EXPECT_NE(r.body.find("value=\"&lt;script&gt;x&lt;/script&gt;\""), std::string::npos);
  EXPECT_EQ(r.body.find("<script>"), std::string::npos);
  EXPECT_EQ(r.body.find("javascript:"), std::string::npos) << "only web addresses lead on";
}

TEST_F(Serve, AClientTheRouterDoesNotKnowIsNotSent) {
  FakeLoginSocket daemon(root_.path("/tmp/R3localsocket_login"), auth::LOGIN_OK);
  for (const char* addr : {"192.168.1.99", "fe80::1", ""}) {
    Request req = post("/login", "code=alice");
    req.remote_addr = addr;
    const Response r = serve(req);
    EXPECT_EQ(r.status, 403) << addr;
    EXPECT_NE(r.body.find("Your device could not be found on this network"), std::string::npos);
  }
  EXPECT_TRUE(daemon.requests().empty());
  Request mapped = post("/login", "code=alice");
  mapped.remote_addr = "::ffff:192.168.1.20";
  EXPECT_EQ(serve(mapped).status, 200);
  EXPECT_EQ(daemon.requests().size(), 1u);
}

TEST_F(Serve, DaemonNotRunning) {
  const Response r = serve(post("/login", "code=alice"));
  EXPECT_NE(r.body.find("The login service is not answering."), std::string::npos);
}

TEST_F(Serve, ProbesTellPhonesWhereTheyAre) {
  Request probe = get("/generate_204");
  probe.host = "connectivitycheck.gstatic.com";
  Response r = serve(probe);
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(header(r, "Location"), "http://192.168.1.1/");
  root_.write("/tmp/web_user_reg_file", " 192.168.1.20 02:00:00:00:00:20 1765152000 0 \n");
  r = serve(probe);
  EXPECT_EQ(r.status, 204);
  EXPECT_EQ(cgi_output(r).find("Content-Type"), std::string::npos);
  probe = get("/hotspot-detect.html");
  r = serve(probe);
  EXPECT_EQ(r.status, 200);
  EXPECT_NE(r.body.find("<BODY>Success</BODY>"), std::string::npos);
  probe.remote_addr = "192.168.1.21";
  EXPECT_EQ(serve(probe).status, 302) << "another client is still held back";
}

TEST_F(Serve, PagesOfOtherHostsLeadToTheLoginPage) {
  Request req = get("/news/today?id=3");
  req.host = "wan.example";
  req.server_port = "8080";
  const Response r = serve(req);
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(header(r, "Location"),
            "http://192.168.1.1:8080/?url=http%3A%2F%2Fwan.example%2Fnews%2Ftoday%3Fid%3D3");
  EXPECT_EQ(header(r, "Connection"), "close");
  req.host = "192.168.1.1:8080";
  EXPECT_EQ(serve(req).status, 404) << "an unknown page of the portal itself";
  setenv("PORTAL_WEB_NAMES", "portal.lan router.lan", 1);
  req.host = "Router.LAN";
  EXPECT_EQ(serve(req).status, 404) << "a name of the portal";
  unsetenv("PORTAL_WEB_NAMES");
}

TEST_F(Serve, LoginPageLanguageAndKind) {
  Request req = get("/?url=http%3A%2F%2Fwan.example%2F");
  req.accept_language = "zh-CN,zh;q=0.9";
  Response r = serve(req);
  EXPECT_NE(r.body.find("<html lang=\"zh-CN\">"), std::string::npos);
  EXPECT_NE(r.body.find("上网码"), std::string::npos);
  EXPECT_NE(r.body.find("value=\"http://wan.example/\""), std::string::npos);
  EXPECT_NE(header(r, "Content-Security-Policy").find("default-src 'none'"), std::string::npos);
  testing_support::set_nvram("WEBAUTH_SECTYPE", "EMAIL");
  testing_support::set_nvram("WEBAUTH_E_SUFFIX", "@<b>.test");
  r = serve(get("/"));
  EXPECT_NE(r.body.find("Your mailbox ends in @&lt;b&gt;.test."), std::string::npos);
  EXPECT_NE(r.body.find("type=\"password\""), std::string::npos);
  testing_support::unset_nvram("WEBAUTH_E_SUFFIX");
  testing_support::set_nvram("WEBAUTH_SECTYPE", "ADVERT");
  r = serve(get("/"));
  EXPECT_NE(r.body.find("class=\"advert\""), std::string::npos);
  EXPECT_EQ(r.body.find("type=\"text\""), std::string::npos);
  testing_support::set_nvram("WEBAUTH_SECTYPE", "WEIXIN");
  r = serve(get("/"));
  EXPECT_NE(r.body.find("WeChat works before you connect."), std::string::npos);
  testing_support::set_nvram("WEBAUTH_SECTYPE", "SOMETHING");
  r = serve(get("/"));
  EXPECT_NE(r.body.find("Press Connect to go online."), std::string::npos);
}

class Admin : public Serve {
 protected:
  void SetUp() override {
    Serve::SetUp();
    setenv("PORTAL_WEB_ADMIN", "192.168.1.1:8081", 1);
  }
  Request admin(const std::string& method, const std::string& body = "") {
    Request r = method == "POST" ? post("/admin", body) : get("/admin");
    r.server_port = "8081";
    r.host = "192.168.1.1:8081";
    r.remote_user = "operator";
    return r;
  }
  std::string token() {
    const Response r = serve(admin("GET"));
    const size_t at = r.body.find("name=\"csrf\" value=\"");
    if (at == std::string::npos) return "";
    const size_t start = at + 19;
    return r.body.substr(start, r.body.find('"', start) - start);
  }
};

TEST_F(Admin, OnlyOnTheAdminAddressAndOnlyAfterThePassword) {
  EXPECT_EQ(serve(admin("GET")).status, 200);
  Request r = admin("GET");
  r.remote_user = "";
  EXPECT_EQ(serve(r).status, 404);
  r = admin("GET");
  r.server_port = "80";
  EXPECT_EQ(serve(r).status, 404);
  r = admin("GET");
  r.server_addr = "10.0.0.1";
  r.host = "10.0.0.1:8081";
  EXPECT_EQ(serve(r).status, 404);
  unsetenv("PORTAL_WEB_ADMIN");
  EXPECT_EQ(serve(admin("GET")).status, 404);
}

TEST_F(Admin, NoFormsWithoutAKeyToProtectThem) {
  root_.write("/tmp/portal-web.key", std::string(32, 'k'));  // readable by others
  const Response r = serve(admin("GET"));
  EXPECT_EQ(r.status, 503);
  EXPECT_NE(r.body.find("This page cannot protect its forms"), std::string::npos);
  EXPECT_EQ(r.body.find("name=\"csrf\""), std::string::npos);
}

TEST_F(Admin, ActionsNeedThePagesTokenAndItsOrigin) {
  testing_support::FakeKernel control(root_.path("/tmp/R3localsocket"));
  const std::string t = token();
  ASSERT_FALSE(t.empty());
  Request r = admin("POST", "action=permit-mac&mac=02%3A00%3A00%3A00%3A00%3A99&csrf=" + t);
  r.origin = "http://evil.example";
  EXPECT_EQ(serve(r).status, 403) << "another site's page";
  EXPECT_EQ(serve(admin("POST", "action=permit-mac&mac=02%3A00%3A00%3A00%3A00%3A99&csrf=1-00"))
                .status,
            403);
  EXPECT_EQ(serve(admin("POST", "action=permit-mac&mac=02%3A00%3A00%3A00%3A00%3A99")).status, 403);
  EXPECT_TRUE(control.drain(100).empty()) << "nothing sent";

  r = admin("POST", "action=permit-mac&mac=02%3A00%3A00%3A00%3A00%3A99&csrf=" + t);
  r.origin = "http://192.168.1.1:8081";
  const Response ok = serve(r);
  EXPECT_EQ(ok.status, 200);
  EXPECT_NE(ok.body.find("02:00:00:00:00:99 is let through without logging in."),
            std::string::npos);
  const std::vector<Bytes> sent = control.drain(500);
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(sent[0].size(), auth::kRecordSize);
  EXPECT_EQ(auth::record_word(sent[0].data(), 0), auth::CTRL_PERMIT_MAC);
  EXPECT_EQ(auth::field_text(sent[0].data(), auth::kCtrlPermitMac), "02:00:00:00:00:99");
}

TEST_F(Admin, BadFieldsSendNothingAndNamesAreText) {
  testing_support::FakeKernel control(root_.path("/tmp/R3localsocket"));
  root_.write("/tmp/web_user_reg_file",
              "<img src=x> 192.168.1.30 aa:bb:cc:dd:ee:30 1765152000 3 \n"
              " 192.168.1.31 aa:bb:cc:dd:ee:31 1765152000 3 \n");
  const std::string t = token();
  struct Row {
    const char* situation;
    std::string body;
    const char* sentence;
  };
  const Row rows[] = {
      {"name one too long", "action=add-account&validity=*&name=" + std::string(65, 'n'),
       "Name (the access code): too long; at most 64 characters fit."},
      {"empty name", "action=remove-account&name=", "Please enter a name."},
      {"bad validity", "action=add-account&name=a&validity=100", "The validity must be *"},
      {"note one too long", "action=add-account&name=a&validity=*&note=" + std::string(65, 'o'),
       "Note (optional): too long; at most 64 characters fit."},
      {"address with three parts", "action=cut&ip=10.0.1", "&quot;10.0.1&quot; is not an IPv4 address."},
      {"markup as a MAC", "action=revoke-mac&mac=%3Cb%3E", "&quot;&lt;b&gt;&quot; is not a MAC address"},
      {"line feed in a name", "action=remove-account&name=a%0Ab", "The form could not be read"},
      {"unknown action", "action=reboot", "The form could not be read"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.situation);
    const Response r = serve(admin("POST", row.body + "&csrf=" + t));
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find(row.sentence), std::string::npos) << r.body.substr(r.body.find("<main>"));
  }
  EXPECT_TRUE(control.drain(100).empty());
  const Response page = serve(admin("GET"));
  EXPECT_NE(page.body.find("&lt;img src=x&gt;"), std::string::npos);
  EXPECT_EQ(page.body.find("<img"), std::string::npos);
  EXPECT_NE(page.body.find("(one-key login)"), std::string::npos);
}

TEST_F(Admin, CutWaitsForTheClientToLeaveTheList) {
  testing_support::FakeKernel control(root_.path("/tmp/R3localsocket"));
  root_.write("/tmp/web_user_reg_file", "bob 192.168.1.30 aa:bb:cc:dd:ee:30 1765152000 3 \n");
  const std::string t = token();
  // Nobody acts on the request: the page says the client is still listed.
  Response r = serve(admin("POST", "action=cut&ip=192.168.1.30&csrf=" + t));
  EXPECT_NE(r.body.find("The request to cut 192.168.1.30 was sent, but it is still listed"),
            std::string::npos);
  // A daemon that takes the client off within the wait.
  std::thread daemon([&] {
    control.drain(2000);
    root_.write("/tmp/web_user_reg_file", "");
  });
  r = serve(admin("POST", "action=cut&ip=192.168.1.30&csrf=" + t));
  daemon.join();
  EXPECT_NE(r.body.find("192.168.1.30 was cut off."), std::string::npos);
}

}  // namespace
}  // namespace web
