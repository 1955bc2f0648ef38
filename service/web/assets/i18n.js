// The page's language is chosen by the service and written on <html lang>; the texts the scripts
// show come from the same table the service rendered the page with.
const language = document.documentElement.lang.startsWith('en') ? 'en' : 'zh';
const texts = await fetch(new URL(`lang/${language}.json`, import.meta.url)).then((reply) => reply.json());

// The text under key, with {0}, {1}... replaced by the arguments.
export function t(key, ...args) {
  const text = texts[key] ?? key;
  return text.replace(/\{(\d+)\}/g, (whole, index) => String(args[Number(index)] ?? whole));
}

export function formatTime(rfc3339) {
  if (!rfc3339) {
    return t('link.none');
  }
  const at = new Date(rfc3339);
  return Number.isNaN(at.getTime()) ? rfc3339 : at.toISOString().slice(0, 16).replace('T', ' ');
}
