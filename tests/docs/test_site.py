"""The built site as a reader sees it, in Debian's headless Chromium (make docs runs this
after building build/docs/html): each page's title and headings are in the rendered page,
every image has loaded, every internal link leads to a built page (and to an anchor that
exists there), and the search finds a page. Screenshots go to build/docs/screenshots/."""

from __future__ import annotations

import functools
import http.server
import re
import shutil
import threading
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urljoin, urlsplit

import pytest

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
SITE = ROOT / "build" / "docs" / "html"
SHOTS = ROOT / "build" / "docs" / "screenshots"

# (page, a text the title must contain, headings that must be rendered, images expected)
PAGES = [
    ("index.html", "tallyforge", ["tallyforge"], 0),
    ("concepts.html", "Concepts", ["Concepts", "Exact decimals and their scale",
                                   "Quantization cuts toward zero",
                                   "Tiers of priority and percentages of lower tiers",
                                   "Back-into percentages", "Frozen bills",
                                   "How rounding differences are handed out"], 2),
    ("reference/functions.html", "Functions", ["Functions"], 0),
    ("reference/exceptions.html", "Exceptions", ["Exceptions and messages", "Messages",
                                                 "Messages that carry the caller’s text"], 0),
    ("performance.html", "Performance", ["Performance and reliability", "Benchmarks",
                                         "Reliability"], 2),
]


def _binary(*names: str) -> str | None:
    for name in names:
        found = shutil.which(name) or (f"/usr/bin/{name}" if Path(f"/usr/bin/{name}").exists() else None)
        if found:
            return found
    return None


@pytest.fixture(scope="module")
def server():
    if not (SITE / "index.html").exists():
        pytest.fail("the site is not built: run make docs")
    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args: object) -> None:
            pass

    handler = functools.partial(Quiet, directory=str(SITE))
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    thread = threading.Thread(target=httpd.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{httpd.server_address[1]}/"
    httpd.shutdown()


@pytest.fixture(scope="module")
def browser():
    chromium = _binary("chromium", "chromium-browser")
    driver_path = _binary("chromedriver")
    if chromium is None or driver_path is None:
        pytest.fail("Debian's chromium and chromium-driver are needed (make docs installs them)")
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--window-size=1280,1000", "--hide-scrollbars"):
        options.add_argument(arg)
    # An explicit driver: Selenium must not look for (or download) one of its own.
    driver = webdriver.Chrome(options=options, service=webdriver.ChromeService(executable_path=driver_path))
    driver.set_page_load_timeout(60)
    yield driver
    driver.quit()


def _open(browser, url: str) -> None:
    browser.get(url)
    WebDriverWait(browser, 30).until(lambda d: d.execute_script("return document.readyState") == "complete")


class _Ids(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.ids: set[str] = set()

    def handle_starttag(self, tag, attrs):
        for name, value in attrs:
            if name == "id" and value:
                self.ids.add(value)


@functools.cache
def _ids_of(path: Path) -> frozenset[str]:
    parser = _Ids()
    parser.feed(path.read_text(encoding="utf-8"))
    return frozenset(parser.ids)


@pytest.mark.parametrize(("page", "title", "headings", "images"), PAGES, ids=[p[0] for p in PAGES])
def test_page_renders(browser, server, page, title, headings, images):
    _open(browser, server + page)
    assert title in browser.title
    rendered = [h.text.strip().rstrip("¶#").strip() for h in browser.find_elements(By.CSS_SELECTOR, "article h1, article h2, article h3")]
    for heading in headings:
        assert heading in rendered, (heading, rendered)

    # Every image has arrived and been decoded, in the DOM as rendered.
    imgs = browser.execute_script(
        "return Array.from(document.images).map(i => [i.getAttribute('src'), i.complete, i.naturalWidth, i.alt])"
    )
    content = [i for i in imgs if "_images/" in (i[0] or "")]
    assert len(content) >= images, imgs
    for src, complete, width, alt in imgs:
        assert complete and width > 0, f"{page}: image {src} did not load"
    for src, _, _, alt in content:
        assert alt and len(alt) > 40, f"{page}: image {src} has no real alt text"

    # Every internal link leads to a built page, and to an anchor that page has.
    hrefs = browser.execute_script("return Array.from(document.links).map(a => a.href)")
    checked = 0
    for href in hrefs:
        parts = urlsplit(href)
        if not href.startswith(server):
            assert parts.scheme in ("http", "https", "mailto"), href
            continue
        target = SITE / unquote(parts.path[len(urlsplit(server).path):])
        if target.is_dir():
            target = target / "index.html"
        assert target.is_file(), f"{page}: link to {href} leads to no built page"
        if parts.fragment and target.suffix == ".html":
            assert unquote(parts.fragment) in _ids_of(target), f"{page}: no anchor for {href}"
        checked += 1
    assert checked > 5

    SHOTS.mkdir(parents=True, exist_ok=True)
    height = browser.execute_script("return document.documentElement.scrollHeight")
    browser.set_window_size(1280, min(max(height, 800), 8000))
    browser.save_screenshot(str(SHOTS / (page.replace("/", "-").removesuffix(".html") + ".png")))
    browser.set_window_size(1280, 1000)


def test_search_finds_pages(browser, server):
    assert (SITE / "searchindex.js").stat().st_size > 1000
    _open(browser, server + "search.html?q=quantization")
    WebDriverWait(browser, 30).until(
        lambda d: d.find_elements(By.CSS_SELECTOR, "#search-results li, ul.search li"))
    results = [a.get_attribute("href") for a in browser.find_elements(By.CSS_SELECTOR, "ul.search li a")]
    assert any("concepts.html" in r for r in results), results


def test_no_page_links_outside_the_site():
    # Every relative link in every built page points at a file of the site.
    bad = []
    for html in SITE.rglob("*.html"):
        for href in re.findall(r'(?:href|src)="(?![a-z]+:)([^"#?]*)', html.read_text(encoding="utf-8")):
            if not href:
                continue  # an anchor in the same page
            target = (html.parent / unquote(href)).resolve()
            if not target.exists():
                bad.append(f"{html.relative_to(SITE)} -> {href}")
    assert bad == []


def test_the_reference_has_every_name_of_the_stubs():
    # Every function, class, value, method and dictionary key of the stub package is an
    # object of the built reference, so a link to it resolves and the search finds it.
    import sys

    from sphinx.util.inventory import InventoryFile

    sys.path.insert(0, str(ROOT / "docs" / "_ext"))
    try:
        import stubref
    finally:
        sys.path.pop(0)
    with open(SITE / "objects.inv", "rb") as f:
        inventory = InventoryFile.load(f, "", lambda base, uri: uri)
    built = {name for objects in inventory.values() for name in objects}
    wanted = {f"tallyforge.{name}" for name in stubref.parse_stub().names()}
    assert len(wanted) > 120
    assert wanted - built == set()
    assert "tallyforge.PanicException" in built
