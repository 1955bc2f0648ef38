"""A real nolvex-shortd on a loopback port and a headless Chromium driven through its driver: what
the browser tests of the shortening page and the console share with the page-weight benchmark."""

import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service as DriverService
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.support.ui import WebDriverWait

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'
DESKTOP = (1280, 900)
PHONE = (360, 740)
START_LIMIT_S = 20


def free_port():
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


OPENER = urllib.request.build_opener(NoRedirect)


class Shortd:
    """One service with its own SQLite store in a temporary folder."""

    def __init__(self, binary, *options):
        self.binary = binary
        self.folder = tempfile.mkdtemp(prefix='nolvex-web-')
        self.options = list(options)
        self.process = None
        self.port = 0
        self.log = open(os.path.join(self.folder, 'shortd.log'), 'w+b')

    @property
    def origin(self):
        return f'http://127.0.0.1:{self.port}'

    def start(self):
        # A probed port may be taken before the service binds it; then another is tried.
        for _ in range(5):
            self.port = free_port()
            self.process = subprocess.Popen(
                [self.binary, '--listen', f'127.0.0.1:{self.port}', '--data-dir', self.folder,
                 '--access-log', 'off', '--rate-limit', '0', *self.options],
                stdout=subprocess.DEVNULL, stderr=self.log)
            deadline = time.monotonic() + START_LIMIT_S
            while time.monotonic() < deadline and self.process.poll() is None:
                try:
                    if self.get('/healthz')[0] == 200:
                        return
                except OSError:
                    time.sleep(0.05)
            self.process.kill()
            self.process.wait()
        self.log.seek(0)
        raise RuntimeError(f'nolvex-shortd did not start: {self.log.read().decode()}')

    def stop(self):
        if self.process:
            self.process.terminate()
            self.process.wait(timeout=20)
        self.log.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def create_key(self, name, role):
        made = subprocess.run([self.binary, 'keys', 'create', '--data-dir', self.folder, '--name', name,
                               '--role', role], capture_output=True, text=True, check=True)
        return made.stdout.strip().splitlines()[-1].strip()

    def request(self, method, path, body=None, key=None, headers=None):
        """(status, headers, body bytes) of one request, redirects not followed."""
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.origin + path, data=data, method=method, headers=headers or {})
        if body is not None:
            request.add_header('Content-Type', 'application/json')
        if key:
            request.add_header('Authorization', f'Bearer {key}')
        try:
            with OPENER.open(request, timeout=20) as reply:
                return reply.status, reply.headers, reply.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers, error.read()

    def get(self, path, **kwargs):
        return self.request('GET', path, **kwargs)

    def api(self, method, path, body=None, key=None):
        status, headers, data = self.request(method, '/api/v1' + path, body, key)
        return status, (json.loads(data) if 'json' in headers.get('Content-Type', '') else None)


def start_browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    # Without these Chromium stalls or reaches out on a closed network.
    for flag in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
                 '--disable-background-networking', '--disable-component-update', '--disable-sync',
                 '--disable-dev-shm-usage', '--disable-extensions', '--disable-default-apps',
                 f'--user-data-dir={tempfile.mkdtemp(prefix="nolvex-chromium-")}',
                 f'--window-size={DESKTOP[0]},{DESKTOP[1]}'):
        options.add_argument(flag)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL', 'performance': 'ALL'})
    driver = webdriver.Chrome(service=DriverService(CHROMEDRIVER), options=options)
    driver.execute_cdp_cmd('Network.enable', {})
    # Every policy violation the page meets is kept where the test can read it.
    driver.execute_cdp_cmd('Page.addScriptToEvaluateOnNewDocument', {'source': (
        'window.__violations = [];'
        'document.addEventListener("securitypolicyviolation",'
        ' (e) => window.__violations.push(e.violatedDirective + " " + e.blockedURI));')})
    return driver


def set_width(driver, size):
    width, height = size
    driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', {
        'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': width < 600})


def set_language(driver, accept_language):
    driver.execute_cdp_cmd('Network.setExtraHTTPHeaders', {'headers': {'Accept-Language': accept_language}})


def wait(driver, condition, limit=15):
    # A list the page redraws while the condition reads it is read again.
    return WebDriverWait(driver, limit, ignored_exceptions=(StaleElementReferenceException,)).until(
        lambda _: condition())


def requests_seen(driver):
    """Every request the page made since the log was last read, with the bytes each brought in."""
    sent, finished = {}, {}
    for entry in driver.get_log('performance'):
        message = json.loads(entry['message'])['message']
        params = message.get('params', {})
        if message['method'] == 'Network.requestWillBeSent':
            sent[params['requestId']] = params['request']['url']
        elif message['method'] == 'Network.loadingFinished':
            finished[params['requestId']] = params['encodedDataLength']
    return [(url, finished.get(request)) for request, url in sent.items()]


def cold_load(driver, url):
    """Loads url with an empty cache: (bytes transferred, ms to first contentful paint)."""
    driver.execute_cdp_cmd('Network.clearBrowserCache', {})
    driver.execute_cdp_cmd('Network.setCacheDisabled', {'cacheDisabled': True})
    requests_seen(driver)
    driver.get(url)
    wait(driver, lambda: driver.execute_script(
        'return performance.getEntriesByName("first-contentful-paint").length > 0'))
    paint = driver.execute_script('return performance.getEntriesByName("first-contentful-paint")[0].startTime')
    wait(driver, lambda: driver.execute_script('return document.readyState') == 'complete')
    weight = sum(size or 0 for _, size in requests_seen(driver))
    driver.execute_cdp_cmd('Network.setCacheDisabled', {'cacheDisabled': False})
    return weight, paint


def axe_source(folder):
    with open(os.path.join(folder, 'node_modules', 'axe-core', 'axe.min.js'), encoding='utf-8') as script:
        return script.read()
