import { t } from './i18n.js';

// One call of the service's JSON API. Resolves to {status, ok, data, message}: data is the parsed
// body, message the service's own words for a refusal (the problem's detail) or ours for a failure
// to reach it. Never rejects, so every caller shows something.
export async function call(method, path, { key, body } = {}) {
  const headers = { Accept: 'application/json' };
  if (key) {
    headers.Authorization = `Bearer ${key}`;
    // The console's changes are recorded as the console's, apart from the same key's elsewhere.
    if (globalThis.location?.pathname.startsWith('/admin')) {
      headers['X-Nolvex-Console'] = '1';
    }
  }
  if (body !== undefined) {
    headers['Content-Type'] = 'application/json';
  }
  let reply;
  try {
    reply = await fetch(`/api/v1${path}`, {
      method,
      headers,
      body: body === undefined ? undefined : JSON.stringify(body),
      credentials: 'omit',
      cache: 'no-store',
    });
  } catch {
    return { status: 0, ok: false, data: null, message: t('error.network') };
  }
  let data = null;
  if (reply.status !== 204) {
    try {
      data = await reply.json();
    } catch {
      data = null;
    }
  }
  if (reply.ok) {
    return { status: reply.status, ok: true, data, message: '' };
  }
  return { status: reply.status, ok: false, data, message: problemMessage(data, reply.status) };
}

export function problemMessage(problem, status) {
  if (problem && typeof problem === 'object') {
    const fields = Array.isArray(problem.errors)
      ? problem.errors.map((error) => [error.field, error.message].filter(Boolean).join(': ')).filter(Boolean)
      : [];
    const main = problem.detail || problem.title || problem.message;
    if (main || fields.length) {
      return [main, ...fields].filter(Boolean).join(' · ');
    }
  }
  return t('error.status', status);
}

// Copies text, saying in status whether it worked.
export async function copyText(text, status, done) {
  try {
    await navigator.clipboard.writeText(text);
    status.textContent = done;
  } catch {
    status.textContent = t('common.copyFailed');
  }
}
