import { call, copyText } from './api.js';
import { CLASSES, drawChart, readVisits } from './chart.js';
import { formatTime, t } from './i18n.js';

// The key lives in this tab's session storage only and goes out as a Bearer header: the browser
// never attaches it by itself, so another site cannot make requests with it.
const KEY = 'nolvex.key';
const ROLE = 'nolvex.role';
const RANK = { reader: 1, creator: 2, admin: 3 };
const PAGE = 50;

const $ = (id) => document.getElementById(id);
const typeNames = [...$('f-type').options].filter((option) => option.value !== '').map((option) => option.text);
const session = {
  key: sessionStorage.getItem(KEY) ?? '',
  role: sessionStorage.getItem(ROLE) ?? '',
};

// A key revoked or expired while the tab is open signs the tab out, saying why.
async function api(method, path, body) {
  const reply = await call(method, path, { key: session.key, body });
  if (reply.status === 401 && session.role) {
    signOut();
    $('signin-problem').textContent = reply.message;
  }
  return reply;
}
const may = (role) => (RANK[session.role] ?? 0) >= RANK[role];

// Each part of the page shows only the answer to its latest request: a slow reply that arrives
// after a newer request (another filter, another link, signing out) is dropped.
const latest = new Map();
function ticket(part) {
  const mine = (latest.get(part) ?? 0) + 1;
  latest.set(part, mine);
  return () => latest.get(part) === mine;
}

// Goes to a view: a changed hash shows it through hashchange, an unchanged one is shown here, so
// a view is never loaded twice.
function go(hash) {
  if (location.hash === hash) {
    route();
  } else {
    location.hash = hash;
  }
}

// A hash a person typed or a site linked may hold a malformed escape: it is then taken as it stands.
function decoded(text) {
  try {
    return decodeURIComponent(text);
  } catch {
    return text;
  }
}

function notice(text) {
  $('notice').textContent = text;
}

// A cell in the row's next column, labelled with the column's name for the phone's card layout.
function cell(row, text, className) {
  const td = document.createElement('td');
  const heading = row.closest('table').tHead.rows[0].cells[row.cells.length];
  td.dataset.label = heading ? heading.textContent : '';
  td.textContent = text;
  if (className) {
    td.className = className;
  }
  row.append(td);
  return td;
}

// "2026-01-02T03:04" from the form, read as UTC, or null when empty.
function fromLocalInput(value) {
  return value ? new Date(`${value}:00Z`).toISOString().replace('.000Z', 'Z') : null;
}

function toLocalInput(rfc3339) {
  return rfc3339 ? new Date(rfc3339).toISOString().slice(0, 16) : '';
}

function tagList(text) {
  return text.split(/[,，]/).map((tag) => tag.trim()).filter(Boolean);
}

function confirmAction(text) {
  const dialog = $('confirm');
  $('confirm-text').textContent = text;
  return new Promise((resolve) => {
    dialog.addEventListener('close', () => resolve(dialog.returnValue === 'ok'), { once: true });
    dialog.returnValue = '';
    dialog.showModal();
    $('confirm-ok').focus();
  });
}

// What a key may do, as the service says for the key itself.
async function findRole() {
  const reply = await api('GET', '/key');
  if (!reply.ok) {
    return { role: '', message: reply.status === 401 ? t('signin.bad') : reply.message };
  }
  const role = reply.data?.role;
  return Object.hasOwn(RANK, role) ? { role } : { role: '', message: t('signin.bad') };
}

function applyRole() {
  for (const node of document.querySelectorAll('[data-needs]')) {
    node.hidden = !may(node.dataset.needs);
  }
  $('nav').hidden = !session.role;
  $('role').textContent = session.role ? t('console.role', t(`role.${session.role}`)) : '';
}

function signOut() {
  sessionStorage.removeItem(KEY);
  sessionStorage.removeItem(ROLE);
  session.key = '';
  session.role = '';
  for (const part of [...latest.keys()]) {
    ticket(part);
  }
  applyRole();
  notice('');
  go('#/signin');
}

$('signin-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const key = $('signin-key').value.trim();
  $('signin-problem').textContent = '';
  if (!key) {
    $('signin-problem').textContent = t('signin.empty');
    return;
  }
  session.key = key;
  const { role, message } = await findRole();
  if (!role) {
    session.key = '';
    $('signin-problem').textContent = message;
    $('signin-key').focus();
    return;
  }
  session.role = role;
  sessionStorage.setItem(KEY, key);
  sessionStorage.setItem(ROLE, role);
  $('signin-key').value = '';
  applyRole();
  go('#/links');
});
$('signout').addEventListener('click', signOut);

// Links

let cursor = null;

function linkQuery() {
  const query = new URLSearchParams({ limit: String(PAGE) });
  const filters = { search: $('f-search').value.trim(), state: $('f-state').value, type: $('f-type').value, tag: $('f-tag').value.trim() };
  for (const [name, value] of Object.entries(filters)) {
    if (value) {
      query.set(name, value);
    }
  }
  if (cursor) {
    query.set('cursor', cursor);
  }
  return query;
}

async function loadLinks(more) {
  const body = $('links-table').tBodies[0];
  if (!more) {
    cursor = null;
    body.replaceChildren();
  }
  $('links-problem').textContent = '';
  const isLatest = ticket('links');
  const reply = await api('GET', `/links?${linkQuery()}`);
  if (!isLatest()) {
    return;
  }
  if (!reply.ok) {
    $('links-problem').textContent = reply.message;
    return;
  }
  for (const link of reply.data.items ?? []) {
    const row = body.insertRow();
    const code = document.createElement('a');
    code.href = `#/link/${encodeURIComponent(link.code)}`;
    code.textContent = link.code;
    cell(row, '').append(code);
    cell(row, link.url, 'address');
    cell(row, typeNames[link.type] ?? String(link.type));
    cell(row, t(`state.${link.state}`));
    cell(row, String(link.visits ?? 0), 'number');
    cell(row, formatTime(link.createdAt));
  }
  cursor = reply.data.next ?? null;
  $('links-more').hidden = !cursor;
  $('links-count').textContent = body.rows.length ? t('links.count', body.rows.length) : t('links.none');
}

$('filters').addEventListener('submit', (event) => {
  event.preventDefault();
  loadLinks(false);
});
$('links-more').addEventListener('click', () => loadLinks(true));

// One link

let current = null;

function showFields(link) {
  const fields = [
    ['field.shortUrl', link.shortUrl],
    ['field.url', link.url],
    ['field.type', typeNames[link.type] ?? String(link.type)],
    ['field.state', t(`state.${link.state}`)],
    // disabledBy comes to admin keys only: who took the link down ("key:NAME", "shell:USER").
    ['field.reason', (link.reason || t('link.none')) + (link.disabledBy ? ` (${link.disabledBy})` : '')],
    // A blocklist stopped it: the list, the entry that matched and since when.
    ...(link.quarantine ? [['field.quarantine',
      `${link.quarantine.list}: ${link.quarantine.entry} (${formatTime(link.quarantine.at)})`]] : []),
    // The service's last check of the destination, and a mark when it failed three in a row.
    ['field.lastCheck', link.lastCheck
      ? `${link.lastCheck.outcome}${link.lastCheck.status ? ` ${link.lastCheck.status}` : ''}`
        + ` (${formatTime(link.lastCheck.at)})${link.lastCheck.finalUrl ? ` ${link.lastCheck.finalUrl}` : ''}`
      : t('link.neverChecked')],
    ...(link.dead ? [['field.dead', t('link.dead')]] : []),
    ['field.createdAt', formatTime(link.createdAt)],
    ['field.expiresAt', formatTime(link.expiresAt)],
    ['field.maxVisits', link.maxVisits ?? t('link.none')],
    ['field.visits', String(link.visits ?? 0)],
    ['field.title', link.title || t('link.none')],
    ['field.tags', (link.tags ?? []).join(', ') || t('link.none')],
  ];
  const list = $('link-fields');
  list.replaceChildren();
  for (const [key, value] of fields) {
    const term = document.createElement('dt');
    term.textContent = t(key);
    const description = document.createElement('dd');
    description.textContent = String(value);
    description.dataset.field = key.slice('field.'.length);
    list.append(term, description);
  }
}

async function loadLink(code) {
  current = null;
  // No action before the link is known: one would act on no link, or on the one shown before.
  for (const action of ['disable-form', 'enable', 'delete']) {
    $(action).hidden = true;
  }
  $('link-heading').textContent = t('link.heading', code);
  $('link-problem').textContent = '';
  $('link-fields').replaceChildren();
  $('link-qr').hidden = true;
  ticket('visits');
  const isLatest = ticket('link');
  const reply = await api('GET', `/links/${encodeURIComponent(code)}`);
  if (!isLatest()) {
    return;
  }
  if (!reply.ok) {
    $('link-problem').textContent = reply.message;
    return;
  }
  current = reply.data;
  const link = current;
  showFields(link);
  const path = `/${encodeURIComponent(link.code)}`;
  $('link-qr').src = `${path}.svg`;
  $('link-qr').hidden = false;
  $('link-qr').alt = t('link.qrAlt', link.code);
  $('link-preview').href = `${path}+`;
  $('e-expires').value = toLocalInput(link.expiresAt);
  $('e-max').value = link.maxVisits ?? '';
  $('e-title').value = link.title ?? '';
  $('e-tags').value = (link.tags ?? []).join(', ');
  const live = link.state === 'active';
  $('disable-form').hidden = !live;
  // Enabling a quarantined link releases it (admins only; the API refuses anyone else).
  $('enable').hidden = link.state !== 'disabled' && link.state !== 'quarantined';
  $('delete').hidden = link.state === 'deleted';
  $('edit-form').hidden = !may('creator') || link.state === 'deleted';
  loadVisits();
}

async function loadVisits() {
  if (!current) {
    return;
  }
  const bucket = document.querySelector('input[name=bucket]:checked').value;
  const chart = $('chart');
  const referrers = $('referrers').tBodies[0];
  chart.replaceChildren();
  referrers.replaceChildren();
  $('visits-totals').replaceChildren();
  const isLatest = ticket('visits');
  const reply = await api('GET', `/links/${encodeURIComponent(current.code)}/visits?bucket=${bucket}`);
  if (!isLatest()) {
    return;
  }
  if (!reply.ok) {
    chart.textContent = t('visits.unavailable');
    return;
  }
  const visits = readVisits(reply.data);
  const names = Object.fromEntries(CLASSES.map((name) => [name, t(`visits.${name}`)]));
  // What a quarantine turned away is shown only where there was some.
  const extra = visits.totals.blocked > 0 ? ['visitors', 'blocked'] : ['visitors'];
  for (const name of [...CLASSES, ...extra]) {
    const span = document.createElement('span');
    span.className = name;
    span.dataset.class = name;
    span.textContent = `${names[name] ?? t(`visits.${name}`)} ${visits.totals[name]}`;
    $('visits-totals').append(span);
  }
  if (visits.series.length === 0) {
    chart.textContent = t('visits.empty');
  } else {
    const { human, bots, previews } = visits.totals;
    chart.append(drawChart(visits.series, bucket, names, t('visits.chart', human, bots, previews), chart.clientWidth));
  }
  for (const referrer of visits.referrers) {
    const row = referrers.insertRow();
    cell(row, referrer.host);
    cell(row, String(referrer.count), 'number');
  }
}

for (const input of document.querySelectorAll('input[name=bucket]')) {
  input.addEventListener('change', loadVisits);
}

async function changeLink(body, done) {
  $('link-problem').textContent = '';
  const reply = await api('PATCH', `/links/${encodeURIComponent(current.code)}`, body);
  if (!reply.ok) {
    $('link-problem').textContent = reply.message;
    return;
  }
  notice(done);
  await loadLink(current.code);
}

$('edit-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const max = $('e-max').value.trim();
  changeLink(
    {
      expiresAt: fromLocalInput($('e-expires').value),
      maxVisits: max ? Number(max) : null,
      title: $('e-title').value.trim(),
      tags: tagList($('e-tags').value),
    },
    t('link.saved'),
  );
});
$('disable-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const reason = $('disable-reason').value.trim();
  changeLink(reason ? { state: 'disabled', reason } : { state: 'disabled' }, t('state.disabled'));
  $('disable-reason').value = '';
});
// An admin's take-down may also put the destination's address, or its whole host, on the
// service's own list, so nobody shortens it again.
$('disable-and-block').addEventListener('click', async () => {
  const block = $('disable-block').value;
  const target = block === 'host' ? new URL(current.url).hostname : current.url;
  if (!(await confirmAction(t(`link.blockConfirm.${block}`, target)))) {
    return;
  }
  const reason = $('disable-reason').value.trim();
  changeLink(reason ? { state: 'disabled', reason, block } : { state: 'disabled', block }, t('link.blocked'));
  $('disable-reason').value = '';
});
$('enable').addEventListener('click', () => changeLink({ state: 'active' }, t('state.active')));
$('delete').addEventListener('click', async () => {
  const code = current.code;
  if (!(await confirmAction(t('link.deleteConfirm', code)))) {
    return;
  }
  const reply = await api('DELETE', `/links/${encodeURIComponent(code)}`);
  if (!reply.ok) {
    $('link-problem').textContent = reply.message;
    return;
  }
  notice(t('link.deleted', code));
  location.hash = '#/links';
});

// Create

$('create-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const body = { url: $('c-url').value.trim(), type: Number($('c-type').value) };
  const optional = {
    code: $('c-code').value.trim(),
    expiresAt: fromLocalInput($('c-expires').value),
    maxVisits: $('c-max').value.trim() ? Number($('c-max').value) : null,
    title: $('c-title').value.trim(),
  };
  for (const [name, value] of Object.entries(optional)) {
    if (value !== null && value !== '') {
      body[name] = value;
    }
  }
  const tags = tagList($('c-tags').value);
  if (tags.length) {
    body.tags = tags;
  }
  $('create-problem').textContent = '';
  const reply = await api('POST', '/links', body);
  if (!reply.ok) {
    $('create-problem').textContent = reply.message;
    return;
  }
  $('create-form').reset();
  location.hash = `#/link/${encodeURIComponent(reply.data.code)}`;
});

// Keys

async function loadKeys() {
  const body = $('keys-table').tBodies[0];
  body.replaceChildren();
  $('keys-problem').textContent = '';
  const isLatest = ticket('keys');
  const reply = await api('GET', '/keys');
  if (!isLatest()) {
    return;
  }
  if (!reply.ok) {
    $('keys-problem').textContent = reply.message;
    return;
  }
  const keys = Array.isArray(reply.data) ? reply.data : reply.data.items ?? [];
  for (const key of keys) {
    const row = body.insertRow();
    cell(row, key.name);
    cell(row, t(`role.${key.role}`));
    cell(row, key.prefix ?? '');
    cell(row, formatTime(key.createdAt));
    cell(row, formatTime(key.lastUsedAt ?? key.lastUsed));
    if (key.revokedAt) {
      cell(row, t('keys.revoked'));
    } else {
      const revoke = document.createElement('button');
      revoke.type = 'button';
      revoke.className = 'danger';
      revoke.textContent = t('keys.revoke');
      revoke.setAttribute('aria-label', `${t('keys.revoke')} ${key.name}`);
      revoke.addEventListener('click', () => revokeKey(key.name));
      cell(row, '').append(revoke);
    }
  }
  if (!keys.length) {
    $('keys-problem').textContent = t('keys.none');
  }
}

async function revokeKey(name) {
  if (!(await confirmAction(t('keys.revokeConfirm', name)))) {
    return;
  }
  const reply = await api('DELETE', `/keys/${encodeURIComponent(name)}`);
  if (!reply.ok) {
    $('keys-problem').textContent = reply.message;
    return;
  }
  await loadKeys();
}

$('key-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  const body = { name: $('k-name').value.trim(), role: $('k-role').value };
  const expires = fromLocalInput($('k-expires').value);
  if (expires) {
    body.expiresAt = expires;
  }
  $('keys-problem').textContent = '';
  const reply = await api('POST', '/keys', body);
  if (!reply.ok) {
    $('keys-problem').textContent = reply.message;
    return;
  }
  $('key-form').reset();
  $('new-key-value').value = reply.data.key ?? '';
  $('new-key-copied').textContent = '';
  $('new-key').hidden = false;
  $('new-key-value').focus();
  $('new-key-value').select();
  await loadKeys();
});
$('new-key-copy').addEventListener('click', () =>
  copyText($('new-key-value').value, $('new-key-copied'), t('common.keyCopied')));

// The service's own blocklist

async function loadBlocks() {
  const body = $('blocks-table').tBodies[0];
  body.replaceChildren();
  $('blocks-problem').textContent = '';
  const isLatest = ticket('blocks');
  const reply = await api('GET', '/blocks');
  if (!isLatest()) {
    return;
  }
  if (!reply.ok) {
    $('blocks-problem').textContent = reply.message;
    return;
  }
  const blocks = reply.data.items ?? [];
  for (const block of blocks) {
    const row = body.insertRow();
    cell(row, block.entry);
    cell(row, t(`blocks.kind.${block.kind}`));
    cell(row, block.addedBy);
    cell(row, block.reason || t('link.none'));
    cell(row, formatTime(block.addedAt));
    const remove = document.createElement('button');
    remove.type = 'button';
    remove.className = 'danger';
    remove.textContent = t('blocks.remove');
    remove.setAttribute('aria-label', `${t('blocks.remove')} ${block.entry}`);
    remove.addEventListener('click', () => removeBlock(block.entry));
    cell(row, '').append(remove);
  }
  if (!blocks.length) {
    $('blocks-problem').textContent = t('blocks.none');
  }
}

async function removeBlock(entry) {
  if (!(await confirmAction(t('blocks.removeConfirm', entry)))) {
    return;
  }
  const reply = await api('DELETE', `/blocks/${encodeURIComponent(entry)}`);
  if (!reply.ok) {
    $('blocks-problem').textContent = reply.message;
    return;
  }
  notice(t('blocks.removed', entry));
  await loadBlocks();
}

// Reports from anyone, by link: what stopped the link and its last check beside every report, and
// two answers, a take-down with the reports' reason or a dismissal.

let reportsAfter = null;

async function loadReports(more) {
  const body = $('reports-table').tBodies[0];
  if (!more) {
    body.replaceChildren();
    reportsAfter = null;
  }
  $('reports-problem').textContent = '';
  const isLatest = ticket('reports');
  const query = reportsAfter ? `?after=${encodeURIComponent(reportsAfter)}` : '';
  const reply = await api('GET', `/reports${query}`);
  if (!isLatest()) {
    return;
  }
  if (!reply.ok) {
    $('reports-problem').textContent = reply.message;
    return;
  }
  const groups = reply.data.items ?? [];
  for (const group of groups) {
    const link = group.link ?? {};
    const row = body.insertRow();
    const code = cell(row, '');
    const open = document.createElement('a');
    open.href = `#/link/${encodeURIComponent(group.code)}`;
    open.textContent = group.code;
    code.append(open);
    cell(row, link.state ? t(`state.${link.state}`) : t('link.none'));
    cell(row, link.quarantine
      ? `${link.quarantine.list}: ${link.quarantine.entry} (${formatTime(link.quarantine.at)})` : t('link.none'));
    cell(row, link.lastCheck
      ? `${link.lastCheck.outcome ?? ''} ${link.lastCheck.status ?? ''} (${formatTime(link.lastCheck.at)})`.trim()
      : t('link.none'));
    const list = document.createElement('ul');
    for (const report of group.reports) {
      const item = document.createElement('li');
      item.textContent = `${t(`reports.reason.${report.reason}`)} · ${report.reporter} · ${formatTime(report.createdAt)}`
        + (report.text ? ` · ${report.text}` : '');
      list.append(item);
    }
    cell(row, t('reports.count', group.reporters)).append(list);
    const actions = cell(row, '');
    const reason = t(`reports.reason.${group.reports[0]?.reason ?? 'other'}`);
    for (const [label, handler, danger] of [
      ['reports.disable', () => disableReported(group.code, reason), true],
      ['reports.dismiss', () => dismissReports(group.code), false],
    ]) {
      const button = document.createElement('button');
      button.type = 'button';
      button.className = danger ? 'danger' : '';
      button.textContent = t(label);
      button.setAttribute('aria-label', `${t(label)} ${group.code}`);
      button.addEventListener('click', handler);
      actions.append(button);
    }
  }
  reportsAfter = reply.data.next ?? null;
  $('reports-more').hidden = !reportsAfter;
  if (!more && !groups.length) {
    $('reports-problem').textContent = t('reports.none');
  }
}

async function disableReported(code, reason) {
  if (!(await confirmAction(t('reports.disableConfirm', code)))) {
    return;
  }
  const path = `/links/${encodeURIComponent(code)}`;
  const reply = await api('PATCH', path, { state: 'disabled', reason: t('reports.takedownReason', reason) });
  if (!reply.ok) {
    $('reports-problem').textContent = reply.message;
    return;
  }
  // Handled: the reports leave the queue, and the link stays disabled.
  await api('POST', `/reports/${encodeURIComponent(code)}/dismiss`);
  notice(t('reports.disabled', code));
  await loadReports(false);
}

async function dismissReports(code) {
  const reply = await api('POST', `/reports/${encodeURIComponent(code)}/dismiss`);
  if (!reply.ok) {
    $('reports-problem').textContent = reply.message;
    return;
  }
  notice(t('reports.dismissed', code));
  await loadReports(false);
}

$('reports-more').addEventListener('click', () => loadReports(true));

// Views

const VIEWS = {
  links: { needs: 'reader', show: () => loadLinks(false) },
  link: { needs: 'reader', show: (code) => loadLink(code) },
  create: { needs: 'creator', show: () => $('c-url').focus() },
  keys: { needs: 'admin', show: () => loadKeys() },
  reports: { needs: 'admin', show: () => loadReports(false) },
  blocks: { needs: 'admin', show: () => loadBlocks() },
};

function route() {
  const [name, ...rest] = location.hash.replace(/^#\/?/, '').split('/');
  let view = session.key ? VIEWS[name] ?? VIEWS.links : null;
  if (view && !may(view.needs)) {
    view = VIEWS.links;
  }
  const shown = view ? Object.keys(VIEWS).find((key) => VIEWS[key] === view) : 'signin';
  for (const section of document.querySelectorAll('.view')) {
    section.hidden = section.id !== `view-${shown}`;
  }
  if (shown !== 'keys') {
    $('new-key').hidden = true;
    $('new-key-value').value = '';
  }
  if (view) {
    view.show(decoded(rest.join('/')));
  } else {
    $('signin-key').focus();
  }
}

window.addEventListener('hashchange', () => {
  route();
});
applyRole();
route();
document.documentElement.dataset.ready = 'true';
