// The page carries the texts it was rendered with, in the language written on <html lang>, so the
// scripts show the same words without a second request that could fail and leave the page dead.
function readTexts() {
  try {
    const table = JSON.parse(document.getElementById('texts')?.textContent ?? '{}');
    return table !== null && typeof table === 'object' ? table : {};
  } catch {
    return {};
  }
}
const texts = readTexts();

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
