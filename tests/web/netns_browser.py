#!/usr/bin/python3
"""Run inside a client's network namespace: Chromium asks for a page on the WAN server, is
sent to the login page by the router, logs in with an access code and must then be shown the
WAN page itself.

usage: netns_browser.py WAN_URL PORTAL_PREFIX CODE OUT_DIR
Exit status 0 when it went so, 1 otherwise."""
import os
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../support"))
from browser import browser, click_and_wait  # noqa: E402


def main():
    wan_url, portal, code, out = sys.argv[1:5]
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    with tempfile.TemporaryDirectory(prefix="chromium-") as profile:
        d = browser(profile, None, "en")
        try:
            d.set_page_load_timeout(30)
            d.get(wan_url)
            if not d.current_url.startswith(portal):
                print(f"FAIL: {wan_url} did not lead to the login page but to {d.current_url}")
                return 1
            print("ok: the WAN page leads to the login page " + d.current_url)
            box = d.find_element(By.NAME, "code")
            box.send_keys(code)
            click_and_wait(d, d.find_element(By.CSS_SELECTOR, "form button[type=submit]"))
            h1 = d.find_element(By.TAG_NAME, "h1").text
            if h1 != "You are connected.":
                print("FAIL: the login page says " + repr(h1) + ": " + d.page_source[-1500:])
                return 1
            print("ok: the login page says: " + h1)
            d.save_screenshot(os.path.join(out, "e2e-connected.png"))
            # The page leads on by itself after a moment.
            WebDriverWait(d, 20).until(lambda drv: drv.current_url == wan_url and
                                       drv.title == "WAN page")
            d.save_screenshot(os.path.join(out, "e2e-wan-page.png"))
            print("ok: the browser shows the WAN page " + d.current_url)
            return 0
        except Exception as e:
            print("FAIL: " + repr(e).splitlines()[0])
            return 1
        finally:
            d.quit()


if __name__ == "__main__":
    sys.exit(main())
