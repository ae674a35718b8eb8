"""Debian's Chromium, headless, driven through chromium-driver and python3-selenium: what the
web pages' tests and the demo share. Import with tests/support on sys.path."""
import os

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--hide-scrollbars"]


def can_run():
    """"" when the browser, its driver, selenium and lighttpd are here; else what is missing."""
    for path in ("/usr/bin/chromium", "/usr/bin/chromedriver", "/usr/sbin/lighttpd"):
        if not os.access(path, os.X_OK):
            return path + " is missing"
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "python3-selenium is missing"
    return ""


def click_and_wait(d, element):
    """Clicks element and waits until the page it was on has been replaced by a loaded one.
    The old page is marked through a script variable rather than watched through an element
    reference: a reference into a page that is being replaced can fail with a generic error
    ("Node with given id does not belong to the document") instead of reading as stale, and so
    can the click that starts the navigation."""
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.support.ui import WebDriverWait
    d.execute_script("window.__left_behind = true")
    try:
        element.click()
    except WebDriverException:
        pass  # whether the page was left is what counts, and the wait below tells

    def replaced(drv):
        try:
            return drv.execute_script(
                "return window.__left_behind === undefined && document.readyState === 'complete'")
        except WebDriverException:
            return False  # between the two pages
    WebDriverWait(d, 40).until(replaced, "the page was not replaced after a click")


def browser(user_data, port, lang):
    """A new Chromium with its own profile in user_data, asking for pages in lang. With a
    port, the name wan.example leads to 127.0.0.1:port."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for f in CHROMIUM_FLAGS:
        opts.add_argument(f)
    opts.add_argument("--user-data-dir=" + user_data)
    if port:
        # wan.example stands for a page on the Internet: the router sends a held-back
        # client's request for it to the portal, as this rule does.
        opts.add_argument(f"--host-resolver-rules=MAP wan.example 127.0.0.1:{port}")
    opts.add_argument("--lang=" + lang)
    opts.add_experimental_option("prefs", {"intl.accept_languages": lang})
    service = Service("/usr/bin/chromedriver", log_path=os.devnull)
    return webdriver.Chrome(service=service, options=opts)


def shoot(d, out, name):
    """Screenshots of the page as a phone (360x740) and a laptop (1280x800) show it:
    out/name-360x740.png and out/name-1280x800.png. Returns their paths."""
    paths = []
    for w, h, mobile in ((360, 740, True), (1280, 800, False)):
        d.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                          {"width": w, "height": h, "deviceScaleFactor": 1, "mobile": mobile})
        path = os.path.join(out, f"{name}-{w}x{h}.png")
        d.save_screenshot(path)
        paths.append(path)
    d.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
    return paths
