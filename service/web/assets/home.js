import { call, copyText } from './api.js';
import { t } from './i18n.js';

const form = document.getElementById('shorten');
const address = document.getElementById('url');
const problem = document.getElementById('problem');
const submit = document.getElementById('submit');
const result = document.getElementById('result');
const shortLink = document.getElementById('short');
const copied = document.getElementById('copied');

form.addEventListener('submit', async (event) => {
  event.preventDefault();
  const url = address.value.trim();
  problem.textContent = '';
  copied.textContent = '';
  if (!url) {
    problem.textContent = t('home.empty');
    address.setAttribute('aria-invalid', 'true');
    address.focus();
    return;
  }
  const type = Number(new FormData(form).get('type') ?? 0);
  submit.disabled = true;
  const reply = await call('POST', '/links', { body: { url, type } });
  submit.disabled = false;
  if (!reply.ok || !reply.data) {
    problem.textContent = reply.message || t('error.status', reply.status);
    address.setAttribute('aria-invalid', 'true');
    result.hidden = true;
    address.focus();
    return;
  }
  address.removeAttribute('aria-invalid');
  const link = reply.data;
  shortLink.value = link.shortUrl;
  const code = encodeURIComponent(link.code);
  document.getElementById('preview').href = `/${code}+`;
  document.getElementById('qr').src = `/${code}.svg`;
  result.hidden = false;
  shortLink.focus();
  shortLink.select();
});

document.getElementById('copy').addEventListener('click', () => copyText(shortLink.value, copied, t('common.copied')));
// The button waits for this script: sent by the browser alone, the form would only reload the page.
submit.disabled = false;
document.documentElement.dataset.ready = 'true';
