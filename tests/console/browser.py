"""Headless Chromium through chromedriver (Debian's chromium, chromium-driver
and python3-selenium), shared by the browser test, the demo's screenshot and
the benchmark."""
import os
import shutil

CHROMIUM = next((p for p in ("/usr/bin/chromium", "/usr/bin/chromium-browser") if os.path.exists(p)), None)
DRIVER = next((p for p in ("/usr/bin/chromedriver", "/usr/lib/chromium/chromedriver") if os.path.exists(p)),
              shutil.which("chromedriver"))


def available():
    """None when a headless browser can be driven here, else why not."""
    if not CHROMIUM:
        return "chromium is not installed"
    if not DRIVER:
        return "chromedriver is not installed"
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "python3-selenium is not installed"
    return None


def start(width=1400, height=1000):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              f"--window-size={width},{height}", "--hide-scrollbars"):
        opts.add_argument(a)
    return webdriver.Chrome(service=Service(DRIVER), options=opts)


def full_page_shot(driver, path, width=1400):
    """Screenshot of the whole page, as tall as its content."""
    h = driver.execute_script("return document.documentElement.scrollHeight")
    driver.set_window_size(width, max(600, min(h + 40, 4000)))
    driver.save_screenshot(path)
