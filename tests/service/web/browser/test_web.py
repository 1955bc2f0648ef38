#!/usr/bin/python3
"""The shortening page and the operators' console in a real browser, against a real nolvex-shortd.

Run by ctest: test_web.py --shortd BINARY --axe NPM_FOLDER --screenshots FOLDER. Every test also
fails on a console error, a content-policy violation, a request to another origin, or a serious or
critical accessibility finding on any page it shows."""

import argparse
import os
import re
import sys
import unittest
import urllib.parse

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select

import harness
from harness import DESKTOP, PHONE, wait

ARGS = None
ZH = 'zh-CN,zh;q=0.9'
EN = 'en-US,en;q=0.9,zh;q=0.3'
ROLE_NAV = {'reader': ['#/links'], 'creator': ['#/links', '#/create'], 'admin': ['#/links', '#/create', '#/keys', '#/reports', '#/blocks']}


class WebTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # One report quarantines a link; reports told apart by the address a local proxy forwards.
        cls.service = harness.Shortd(ARGS.shortd, '--report-threshold', '1', '--trusted-proxy', '127.0.0.1/32')
        cls.service.start()
        cls.keys = {role: cls.service.create_key(f'web-{role}', role) for role in ROLE_NAV}
        cls.axe = harness.axe_source(ARGS.axe)
        cls.driver = harness.start_browser()
        status, _ = cls.service.api('POST', '/links', {'url': 'https://example.com/probe', 'type': 0})
        cls.api_ready = status in (200, 201)
        cls.visits_ready = False
        if cls.api_ready:
            code = cls.service.api('POST', '/links', {'url': 'https://example.com/probe', 'type': 0})[1]['code']
            cls.visits_ready = cls.service.api('GET', f'/links/{code}/visits', key=cls.keys['reader'])[0] != 404

    @classmethod
    def tearDownClass(cls):
        cls.driver.quit()
        cls.service.stop()

    def setUp(self):
        # Refusals the test itself provokes, as (status, part of the address); the browser reports
        # each as a failed load.
        self.expected = []
        self.origins = [self.service.origin]
        # A console signed in by an earlier test would skip its sign-in page. (A page of the
        # service's own, which names its icon: anything else would have the browser ask for
        # /favicon.ico, which the service does not have.)
        self.driver.get(self.service.origin + '/')
        self.driver.execute_script('sessionStorage.clear()')
        harness.set_width(self.driver, DESKTOP)
        harness.set_language(self.driver, ZH)
        self.driver.get_log('browser')
        harness.requests_seen(self.driver)

    def tearDown(self):
        driver = self.driver
        violations = driver.execute_script('return window.__violations || []')
        self.assertEqual(violations, [], 'content-policy violations')
        errors = []
        for entry in driver.get_log('browser'):
            if entry['level'] != 'SEVERE':
                continue
            status = re.search(r'status of (\d{3})', entry['message'])
            if entry.get('source') == 'network' and status and any(
                    int(status.group(1)) == code and part in entry['message'] for code, part in self.expected):
                continue
            errors.append(entry['message'])
        self.assertEqual(errors, [], 'console errors')
        # data: addresses are the browser's own drawings (a date field's calendar icon), not requests.
        foreign = [url for url, _ in harness.requests_seen(driver) if not url.startswith('data:')
                   and not any(url.startswith(origin + '/') for origin in self.origins)]
        self.assertEqual(foreign, [], 'requests to another origin')

    def need_api(self, *routes):
        if not self.api_ready:
            self.skipTest('the service has no /api/v1/links yet')
        for route in routes:
            status, _ = self.service.api('GET', route, key=self.keys['admin'])
            if status == 404:
                self.skipTest(f'the service has no /api/v1{route} yet')

    # Helpers

    def open(self, path):
        self.driver.get(self.service.origin + path)
        wait(self.driver, lambda: self.driver.execute_script('return document.documentElement.dataset.ready'))

    def find(self, css):
        return self.driver.find_element(By.CSS_SELECTOR, css)

    def visible(self, css):
        return [node for node in self.driver.find_elements(By.CSS_SELECTOR, css) if node.is_displayed()]

    def check_accessibility(self, what):
        self.driver.execute_script(self.axe)
        result = self.driver.execute_async_script(
            'axe.run(document, {resultTypes: ["violations"]}).then((r) => arguments[0](r.violations))')
        serious = [f"{v['id']} ({v['impact']}): {[n['target'] for n in v['nodes']]}"
                   for v in result if v['impact'] in ('serious', 'critical')]
        self.assertEqual(serious, [], f'accessibility of {what}')

    def check_no_sideways_scroll(self, what):
        widths = self.driver.execute_script(
            'return [document.documentElement.scrollWidth, document.documentElement.clientWidth]')
        self.assertLessEqual(widths[0], widths[1], f'{what} scrolls sideways at {widths[1]} px')

    def screenshot(self, name):
        os.makedirs(ARGS.screenshots, exist_ok=True)
        self.driver.save_screenshot(os.path.join(ARGS.screenshots, f'{name}.png'))

    def shorten_on_page(self, address, type_index=0):
        self.open('/')
        self.find('#url').send_keys(address)
        self.find(f'input[name=type][value="{type_index}"]').click()
        self.find('#submit').click()
        wait(self.driver, lambda: self.find('#short').get_attribute('value') or self.find('#problem').text)
        return self.find('#short').get_attribute('value')

    def sign_in(self, role):
        if not self.visits_ready:
            self.expected.append((404, '/visits?'))
        self.open('/admin')
        # Every call the console makes, counted as it is sent.
        self.driver.execute_script(
            'window.__calls = []; const send = window.fetch;'
            'window.fetch = (...args) => { window.__calls.push(String(args[0])); return send(...args); };')
        self.find('#signin-key').send_keys(self.keys[role], Keys.ENTER)
        wait(self.driver, lambda: self.visible('#view-links'))
        wait(self.driver, lambda: self.find('#links-count').text)
        calls = self.driver.execute_script('return window.__calls')
        self.assertEqual(len([call for call in calls if call.startswith('/api/v1/links?')]), 1, calls)
        codes = [row.text for row in self.driver.find_elements(By.CSS_SELECTOR, '#links-table tbody tr td:first-child')]
        self.assertEqual(len(codes), len(set(codes)), 'each link listed once after signing in')

    def make_link(self, **fields):
        status, link = self.service.api('POST', '/links', {'type': 0, **fields}, key=self.keys['admin'])
        self.assertIn(status, (200, 201), link)
        return link

    # The pages without the API

    def test_pages_in_each_language_and_width(self):
        rows = [  # path, Accept-Language, <html lang>, heading
            ('/', ZH, 'zh-CN', 'Nolvex 短网址服务'),
            ('/', EN, 'en', 'Nolvex short links'),
            ('/', 'fr-FR,fr;q=0.9', 'zh-CN', 'Nolvex 短网址服务'),
            ('/admin', ZH, 'zh-CN', '登录'),
            ('/admin', EN, 'en', 'Sign in'),
        ]
        for path, accept, lang, heading in rows:
            with self.subTest(path=path, accept=accept):
                harness.set_language(self.driver, accept)
                for name, size in (('desktop', DESKTOP), ('phone', PHONE)):
                    harness.set_width(self.driver, size)
                    self.open(path)
                    self.assertEqual(self.find('html').get_attribute('lang'), lang)
                    self.assertEqual(self.visible('h1')[0].text, heading)
                    self.check_no_sideways_scroll(f'{path} ({accept})')
                    if path == '/':  # the window's names for the types, and its button in Chinese
                        labels = [node.text for node in self.driver.find_elements(By.CSS_SELECTOR, 'label.type')]
                        self.assertEqual(labels, ['i.test', 'qrl.test', 'lk.test', 'ql.test', 'tk.test', 'si.test'])
                        self.assertEqual(self.find('#submit').text, '生成短网址' if lang == 'zh-CN' else 'Shorten')
                    if accept == ZH:
                        self.check_accessibility(f'{path} at {name} width')
                        self.screenshot(f'{"home-empty" if path == "/" else "console-signin"}-{name}')

    def test_cold_loads_stay_light(self):
        for path in ('/', '/admin'):
            with self.subTest(path=path):
                weight, _ = harness.cold_load(self.driver, self.service.origin + path)
                self.assertLess(weight, 100_000)
                # Loaded again, everything comes from the cache or answers 304 to its ETag.
                self.driver.refresh()
                wait(self.driver, lambda: self.driver.execute_script('return document.documentElement.dataset.ready'))
                self.assertLess(sum(size or 0 for _, size in harness.requests_seen(self.driver)), 1000)

    # Shortening

    def test_shorten_and_follow(self):
        self.need_api()
        for type_index in (0, 3):
            with self.subTest(type=type_index):
                address = f'https://example.com/web/follow/{type_index}'
                short = self.shorten_on_page(address, type_index)
                self.assertTrue(short, self.find('#problem').text)
                code = short.rsplit('/', 1)[-1]
                status, headers, _ = self.service.get('/' + code)
                self.assertEqual((status, headers['Location']), (302, address))
                self.assertEqual(self.service.api('GET', '/links/' + code, key=self.keys['reader'])[1]['type'],
                                 type_index)
                preview = self.find('#preview').get_attribute('href')
                self.assertEqual(self.service.get(preview[len(self.service.origin):])[0], 200)
                wait(self.driver, lambda: self.driver.execute_script(
                    'const qr = document.getElementById("qr"); return qr.complete && qr.naturalWidth > 0'
                    ' && qr.src.endsWith(".svg")'))

    def test_refusals_shown(self):
        self.need_api()
        self.expected = [(status, '/api/v1/links') for status in (400, 403, 414, 422)]
        rows = [  # address on the page, body the API is sent for the same refusal (None: the page's own)
            ('', None),
            ('not an address', {'url': 'not an address', 'type': 0}),
            ('ftp://example.com/file', {'url': 'ftp://example.com/file', 'type': 0}),
            (self.service.origin + '/abc', {'url': self.service.origin + '/abc', 'type': 0}),
        ]
        for address, body in rows:
            with self.subTest(address=address):
                self.shorten_on_page(address)
                shown = wait(self.driver, lambda: self.find('#problem').text)
                self.assertFalse(self.find('#result').is_displayed())
                if body is None:
                    self.assertEqual(shown, '请输入要缩短的网址')
                else:
                    status, problem = self.service.api('POST', '/links', body)
                    self.assertGreaterEqual(status, 400)
                    self.assertIn(problem['detail'], shown)
        self.check_accessibility('the page with a refusal')

    def test_closed_shortening_refused_on_the_page(self):
        closed = harness.Shortd(ARGS.shortd, '--open-shorten', 'off')
        closed.start()
        try:
            status, problem = closed.api('POST', '/links', {'url': 'https://example.com/closed', 'type': 0})
            if not problem or 'detail' not in problem:
                self.skipTest('the service has no /api/v1/links yet')
            self.expected = [(status, '/api/v1/links')]
            self.origins.append(closed.origin)
            self.driver.get(closed.origin + '/')
            self.find('#url').send_keys('https://example.com/closed', Keys.ENTER)
            shown = wait(self.driver, lambda: self.find('#problem').text)
            self.assertIn(problem['detail'], shown)
        finally:
            closed.stop()

    def test_copy_puts_the_link_on_the_clipboard(self):
        self.need_api()
        short = self.shorten_on_page('https://example.com/web/copy')
        self.driver.execute_cdp_cmd('Browser.grantPermissions', {
            'origin': self.service.origin, 'permissions': ['clipboardReadWrite', 'clipboardSanitizedWrite']})
        self.find('#copy').click()
        wait(self.driver, lambda: self.find('#copied').text)
        copied = self.driver.execute_async_script('navigator.clipboard.readText().then(arguments[0])')
        self.assertEqual((copied, self.find('#copied').text), (short, '短网址已复制'))
        self.check_accessibility('the page with its result')
        self.screenshot('home-desktop')
        harness.set_width(self.driver, PHONE)
        self.check_no_sideways_scroll('the page with its result')
        self.screenshot('home-phone')

    def test_keyboard_alone(self):
        self.need_api()
        self.open('/')
        keys = ActionChains(self.driver)
        # Tab to the address, type it, Tab into the types and move to the second with an arrow key,
        # Tab to the button and press it; then Tab from the result to the copy button.
        keys.send_keys(Keys.TAB).send_keys('https://example.com/web/keyboard').send_keys(Keys.TAB)
        keys.send_keys(Keys.ARROW_RIGHT).send_keys(Keys.TAB).send_keys(Keys.ENTER).perform()
        wait(self.driver, lambda: self.find('#short').get_attribute('value'))
        self.assertEqual(self.driver.switch_to.active_element.get_attribute('id'), 'short')
        code = self.find('#short').get_attribute('value').rsplit('/', 1)[-1]
        self.assertEqual(self.service.api('GET', '/links/' + code, key=self.keys['reader'])[1]['type'], 1)
        ActionChains(self.driver).send_keys(Keys.TAB).perform()
        self.assertEqual(self.driver.switch_to.active_element.get_attribute('id'), 'copy')

    # The console

    def test_each_role_sees_what_it_may_do(self):
        self.need_api()
        link = self.make_link(url='https://example.com/web/roles')
        self.expected = [(401, '/api/v1/key')]
        self.open('/admin')
        self.find('#signin-key').send_keys('nvx_not-a-key', Keys.ENTER)
        self.assertEqual(wait(self.driver, lambda: self.find('#signin-problem').text), '密钥无效或已过期')
        for role, nav in ROLE_NAV.items():
            with self.subTest(role=role):
                self.sign_in(role)
                shown = [node.get_attribute('href').split('/admin', 1)[1] for node in self.visible('#nav a')]
                self.assertEqual(shown, nav)
                self.open(f'/admin#/link/{link["code"]}')
                wait(self.driver, lambda: self.find('dd[data-field=url]').text)
                self.assertEqual(bool(self.visible('#edit-form')), role != 'reader')
                self.assertEqual(bool(self.visible('#delete')), role != 'reader')
                self.open('/admin#/keys')
                wait(self.driver, lambda: self.visible('#view-keys') or self.visible('#view-links'))
                self.assertEqual(bool(self.visible('#view-keys')), role == 'admin')
                self.find('#signout').click()
                wait(self.driver, lambda: self.visible('#view-signin'))
                self.assertIsNone(self.driver.execute_script('return sessionStorage.getItem("nolvex.key")'))

    def test_links_listed_filtered_and_paged(self):
        self.need_api()
        tag = 'pagedweb'
        made = [self.make_link(url=f'https://example.com/web/list/{n}', code=f'web-list-{n}', tags=[tag])
                for n in range(53)]
        self.sign_in('admin')
        for size in (DESKTOP, PHONE):
            harness.set_width(self.driver, size)
            self.find('#f-tag').clear()
            self.find('#f-tag').send_keys(tag, Keys.ENTER)
            wait(self.driver, lambda: len(self.driver.find_elements(By.CSS_SELECTOR, '#links-table tbody tr')) == 50)
            self.check_no_sideways_scroll('the links page')
        self.screenshot('console-links-phone')
        harness.set_width(self.driver, DESKTOP)
        self.screenshot('console-links-desktop')
        self.check_accessibility('the links page')
        self.find('#links-more').click()
        wait(self.driver, lambda: len(self.driver.find_elements(By.CSS_SELECTOR, '#links-table tbody tr')) == 53)
        codes = [row.text for row in self.driver.find_elements(By.CSS_SELECTOR, '#links-table tbody tr td:first-child')]
        listed, query = [], f'/links?tag={tag}&limit=20'
        while query:
            _, page = self.service.api('GET', query, key=self.keys['reader'])
            listed += [link['code'] for link in page['items']]
            query = page['next'] and f'/links?tag={tag}&limit=20&cursor={urllib.parse.quote(page["next"])}'
        self.assertEqual(codes, listed, "the API's order, each once")
        self.assertEqual(sorted(codes), sorted(link['code'] for link in made))
        self.assertFalse(self.find('#links-more').is_displayed())

    def test_malformed_address_in_the_console(self):
        self.need_api()
        self.sign_in('reader')
        self.expected.append((404, '/links/'))
        self.driver.execute_script('location.hash = "#/link/%E0%A4%A"')
        wait(self.driver, lambda: self.find('#link-problem').text)
        self.assertEqual(self.find('#link-heading').text.count('%E0%A4%A'), 1)

    def test_create_with_a_custom_code(self):
        self.need_api()
        self.sign_in('creator')
        self.open('/admin#/create')
        for css, text in (('#c-url', 'https://example.com/web/custom'), ('#c-code', 'web-custom'),
                          ('#c-title', 'A chosen code'), ('#c-tags', 'web, chosen'), ('#c-max', '5')):
            self.find(css).send_keys(text)
        self.check_accessibility('the create page')
        self.find('#create-form button[type=submit]').click()
        wait(self.driver, lambda: self.driver.current_url.endswith('#/link/web-custom'))
        wait(self.driver, lambda: self.find('dd[data-field=url]').text)
        _, link = self.service.api('GET', '/links/web-custom', key=self.keys['reader'])
        self.assertEqual((link['url'], link['title'], link['tags'], link['maxVisits']),
                         ('https://example.com/web/custom', 'A chosen code', ['web', 'chosen'], 5))
        self.check_accessibility('one link')
        # Edited through its form: the limit cleared, another title, an end (read as UTC).
        self.find('#e-max').clear()
        self.find('#e-title').clear()
        self.find('#e-title').send_keys('Edited')
        self.driver.execute_script('document.getElementById("e-expires").value = "2031-02-03T04:05"')
        self.find('#edit-form button[type=submit]').click()
        wait(self.driver, lambda: self.find('dd[data-field=title]').text == 'Edited'
             and self.find('dd[data-field=expiresAt]').text == '2031-02-03 04:05')
        _, link = self.service.api('GET', '/links/web-custom', key=self.keys['reader'])
        self.assertEqual((link['title'], link['maxVisits'], link['expiresAt']), ('Edited', None, '2031-02-03T04:05:00Z'))
        self.screenshot('console-link-desktop')
        harness.set_width(self.driver, PHONE)
        self.check_no_sideways_scroll('one link')
        self.screenshot('console-link-phone')

    def test_disable_enable_delete(self):
        self.need_api()
        link = self.make_link(url='https://example.com/web/disable', code='web-disable')
        self.sign_in('admin')
        self.open('/admin#/link/web-disable')
        wait(self.driver, lambda: self.visible('#disable-form'))
        self.find('#disable-reason').send_keys('Reported as phishing', Keys.ENTER)
        wait(self.driver, lambda: self.visible('#enable'))
        self.assertEqual(self.service.get('/web-disable')[0], 410)
        self.assertEqual(self.service.api('GET', '/links/web-disable', key=self.keys['reader'])[1]['reason'],
                         'Reported as phishing')
        self.find('#enable').click()
        wait(self.driver, lambda: self.visible('#disable-form'))
        self.assertEqual(self.service.get('/web-disable')[0], 302)
        for answer in ('cancel', 'ok'):
            self.find('#delete').click()
            wait(self.driver, lambda: self.find('#confirm').is_displayed())
            self.check_accessibility('the confirmation')
            self.find(f'#confirm button[value={answer}]').click()
            wait(self.driver, lambda: not self.find('#confirm').is_displayed())
        wait(self.driver, lambda: self.visible('#view-links'))
        self.assertEqual(self.service.get('/' + link['code'])[0], 410)

    def test_disable_and_block_then_unblock(self):
        self.need_api('/blocks')
        self.make_link(url='https://blocked.example/web/x', code='web-block')
        self.sign_in('admin')
        self.open('/admin#/link/web-block')
        wait(self.driver, lambda: self.visible('#disable-and-block'))
        Select(self.find('#disable-block')).select_by_value('host')
        self.find('#disable-and-block').click()
        wait(self.driver, lambda: self.find('#confirm').is_displayed())
        self.assertIn('blocked.example', self.find('#confirm-text').text)
        self.find('#confirm-ok').click()
        wait(self.driver, lambda: self.visible('#enable'))
        self.assertEqual(self.service.get('/web-block')[0], 410)
        self.open('/admin#/blocks')
        row = wait(self.driver, lambda: [r for r in self.driver.find_elements(By.CSS_SELECTOR, '#blocks-table tbody tr')
                                         if r.text.startswith('blocked.example')])
        self.assertIn('key:web-admin', row[0].text)
        self.check_accessibility('the blocklist')
        row[0].find_element(By.CSS_SELECTOR, 'button').click()
        wait(self.driver, lambda: self.find('#confirm').is_displayed())
        self.find('#confirm-ok').click()
        wait(self.driver, lambda: not [r for r in self.driver.find_elements(By.CSS_SELECTOR, '#blocks-table tbody tr')
                                       if r.text.startswith('blocked.example')])
        self.assertEqual(self.service.api('GET', '/blocks', key=self.keys['admin'])[1]['items'], [])

    def test_report_form_without_script_and_the_queue(self):
        self.need_api('/reports')
        link = self.make_link(url='https://example.com/web/reported', code='web-reported')
        status, _, _ = self.service.request('POST', '/api/v1/reports', {'code': 'web-reported', 'reason': 'phishing'},
                                            headers={'X-Forwarded-For': '198.51.100.7'})
        self.assertEqual(status, 201)
        # The service's plain pages name no icon, so the browser asks for /favicon.ico.
        self.expected = [(403, '/web-reported'), (404, '/favicon.ico')]
        # The warning page and its form as a browser with script off has them.
        self.driver.execute_cdp_cmd('Emulation.setScriptExecutionDisabled', {'value': True})
        try:
            self.driver.get(self.service.origin + '/web-reported')
            self.assertIn('reports', self.find('dl').text)
            self.find('select[name=reason] option[value=malware]').click()
            self.find('textarea[name=text]').send_keys('假冒的登录页')
            self.find('form.report button[type=submit]').click()
            wait(self.driver, lambda: self.find('h1').text == '感谢您的举报')
            self.screenshot('report-thanks')
        finally:
            self.driver.execute_cdp_cmd('Emulation.setScriptExecutionDisabled', {'value': False})
        queue = self.service.api('GET', '/reports', key=self.keys['admin'])[1]['items']
        group = next(item for item in queue if item['code'] == link['code'])
        self.assertEqual(sorted((r['reason'], r['reporter'], r['text']) for r in group['reports']),
                         [('malware', '127.0.0.1', '假冒的登录页'), ('phishing', '198.51.100.7', '')])
        # The console's queue: shown with the evidence, and dismissed the link leads again.
        self.sign_in('admin')
        self.open('/admin#/reports')
        row = wait(self.driver, lambda: next((r for r in self.visible('#reports-table tbody tr')
                                              if r.text.startswith('web-reported')), None))
        self.assertIn('reports: 1 report', row.text)
        self.check_accessibility('the reports queue')
        row.find_element(By.XPATH, ".//button[text()='驳回']").click()
        wait(self.driver, lambda: self.service.get('/web-reported')[0] == 302)

    def test_chart_matches_the_api(self):
        self.need_api()
        link = self.make_link(url='https://example.com/web/chart')
        self.need_api(f'/links/{link["code"]}/visits')
        agents = ['Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 Chrome/120.0 Safari/537.36'] * 3 + \
                 ['curl/8.0.1'] * 2 + ['Slackbot-LinkExpanding 1.0 (+https://api.slack.com/robots)']
        for agent in agents:
            self.service.get('/' + link['code'], headers={'User-Agent': agent})

        # Visits are written in batches: wait until all of them are counted.
        def counted():
            totals = self.service.api('GET', f'/links/{link["code"]}/visits', key=self.keys['reader'])[1]['totals']
            return totals['visits'] + totals['bots'] + totals['previews'] == len(agents)
        wait(self.driver, counted)
        self.sign_in('reader')
        for bucket in ('hour', 'day'):
            with self.subTest(bucket=bucket):
                self.open(f'/admin#/link/{link["code"]}')
                self.find(f'input[name=bucket][value={bucket}]').click()
                _, figures = self.service.api('GET', f'/links/{link["code"]}/visits?bucket={bucket}',
                                              key=self.keys['reader'])
                drawn = wait(self.driver, lambda: self.driver.execute_script(
                    'const bars = [...document.querySelectorAll("#chart rect[data-class]")];'
                    'return bars.length ? bars.map((b) => [b.dataset.at, b.dataset.class, Number(b.dataset.value)])'
                    ' : null'))
                series = figures.get('series', [])
                # A link's "visits" are its people's.
                expected = [[row['start'], name, row[member]] for row in series
                            for name, member in (('human', 'visits'), ('bots', 'bots'), ('previews', 'previews'))]
                self.assertEqual(drawn, expected)
                self.assertGreater(sum(value for _, _, value in drawn), 0)
        show_chart = 'document.getElementById("visits-heading").scrollIntoView()'
        self.driver.execute_script(show_chart)
        self.screenshot('console-chart-desktop')
        harness.set_width(self.driver, PHONE)
        self.driver.refresh()  # drawn again for the phone's width
        wait(self.driver, lambda: self.driver.execute_script('return document.documentElement.dataset.ready'))
        wait(self.driver, lambda: self.driver.find_elements(By.CSS_SELECTOR, '#chart rect'))
        self.check_no_sideways_scroll('one link with its chart')
        self.driver.execute_script(show_chart)
        self.screenshot('console-chart-phone')
        self.check_accessibility('one link with its chart')

    def test_keys_created_once_copied_and_revoked(self):
        self.need_api('/keys')
        self.sign_in('admin')
        self.open('/admin#/keys')
        wait(self.driver, lambda: self.driver.find_elements(By.CSS_SELECTOR, '#keys-table tbody tr'))
        self.find('#k-name').send_keys('web-made')
        self.find('#k-role').send_keys('creator')
        self.find('#key-form button[type=submit]').click()
        key = wait(self.driver, lambda: self.find('#new-key-value').get_attribute('value'))
        self.assertEqual(self.service.api('GET', '/links?limit=1', key=key)[0], 200)
        self.driver.execute_cdp_cmd('Browser.grantPermissions', {
            'origin': self.service.origin, 'permissions': ['clipboardReadWrite', 'clipboardSanitizedWrite']})
        self.find('#new-key-copy').click()
        wait(self.driver, lambda: self.find('#new-key-copied').text)
        self.assertEqual(self.driver.execute_async_script('navigator.clipboard.readText().then(arguments[0])'), key)
        self.check_accessibility('the keys page')
        self.open('/admin#/links')
        self.open('/admin#/keys')
        self.assertEqual(self.find('#new-key-value').get_attribute('value'), '', 'the key is shown once')
        row = wait(self.driver, lambda: [r for r in self.driver.find_elements(By.CSS_SELECTOR, '#keys-table tbody tr')
                                         if r.text.startswith('web-made')])
        row[0].find_element(By.CSS_SELECTOR, 'button').click()
        wait(self.driver, lambda: self.find('#confirm').is_displayed())
        self.find('#confirm-ok').click()
        wait(self.driver, lambda: [r for r in self.driver.find_elements(By.CSS_SELECTOR, '#keys-table tbody tr')
                                   if r.text.startswith('web-made') and r.text.endswith('已吊销')])
        self.assertEqual(self.service.api('GET', '/links?limit=1', key=key)[0], 401)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument('--shortd', required=True)
    parser.add_argument('--axe', required=True, help='the folder npm ci installed axe-core into')
    parser.add_argument('--screenshots', required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == '__main__':
    main()
