// The visits chart: for each interval three bars side by side (people, bots, link previews), drawn
// as SVG by the page. Every bar carries its class and value, so what is drawn can be checked
// against the figures it was drawn from.
const SVG = 'http://www.w3.org/2000/svg';
const HEIGHT = 220;
const LEFT = 44;
const RIGHT = 8;
const TOP = 10;
const BOTTOM = 28;
export const CLASSES = ['human', 'bots', 'previews'];

function element(name, attributes, text) {
  const node = document.createElementNS(SVG, name);
  for (const [attribute, value] of Object.entries(attributes)) {
    node.setAttribute(attribute, String(value));
  }
  if (text !== undefined) {
    node.textContent = text;
  }
  return node;
}

function label(at, bucket) {
  const time = new Date(at);
  if (Number.isNaN(time.getTime())) {
    return String(at);
  }
  const iso = time.toISOString();
  return bucket === 'day' ? iso.slice(5, 10) : `${iso.slice(5, 10)} ${iso.slice(11, 13)}h`;
}

// series: [{at, human, bots, previews}]; names: the legend's words by class; summary: the chart's
// accessible name; width: the room it has, in CSS pixels, so its text is drawn at its size.
export function drawChart(series, bucket, names, summary, width) {
  const full = Math.max(280, Math.round(width) || 640);
  const svg = element('svg', { viewBox: `0 0 ${full} ${HEIGHT}`, role: 'img', 'aria-label': summary });
  svg.append(element('title', {}, summary));
  const peak = Math.max(1, ...series.flatMap((point) => CLASSES.map((name) => point[name])));
  const plotWidth = full - LEFT - RIGHT;
  const plotHeight = HEIGHT - TOP - BOTTOM;
  const slot = plotWidth / Math.max(1, series.length);
  // Bars no wider than a finger, however few the intervals.
  const bar = Math.min(24, Math.max(1, (slot * 0.8) / CLASSES.length));
  svg.append(element('line', { class: 'axis', x1: LEFT, y1: TOP + plotHeight, x2: full - RIGHT, y2: TOP + plotHeight }));
  svg.append(element('line', { class: 'axis', x1: LEFT, y1: TOP, x2: LEFT, y2: TOP + plotHeight }));
  svg.append(element('text', { x: LEFT - 4, y: TOP + 10, 'text-anchor': 'end' }, String(peak)));
  svg.append(element('text', { x: LEFT - 4, y: TOP + plotHeight, 'text-anchor': 'end' }, '0'));
  series.forEach((point, index) => {
    const x = LEFT + index * slot + (slot - bar * CLASSES.length) / 2;
    CLASSES.forEach((name, order) => {
      const value = point[name];
      const height = (value / peak) * plotHeight;
      const rect = element('rect', {
        class: name,
        x: (x + order * bar).toFixed(2),
        y: (TOP + plotHeight - height).toFixed(2),
        width: bar.toFixed(2),
        height: height.toFixed(2),
        'data-class': name,
        'data-at': point.at,
        'data-value': value,
      });
      rect.append(element('title', {}, `${label(point.at, bucket)} ${names[name]}: ${value}`));
      svg.append(rect);
    });
  });
  const ticks = series.length <= 1 ? [0] : [0, Math.floor((series.length - 1) / 2), series.length - 1];
  for (const index of new Set(ticks)) {
    if (series[index]) {
      const x = LEFT + index * slot + slot / 2;
      svg.append(element('text', { x: x.toFixed(2), y: HEIGHT - 8, 'text-anchor': 'middle' }, label(series[index].at, bucket)));
    }
  }
  return svg;
}

// The service's visit figures as the chart takes them: a link's "visits" are its people's.
export function readVisits(data) {
  const counts = (row) => ({
    human: row?.visits ?? 0,
    visitors: row?.visitors ?? 0,
    bots: row?.bots ?? 0,
    previews: row?.previews ?? 0,
    blocked: row?.blocked ?? 0,
  });
  return {
    series: (data?.series ?? []).map((row) => ({ at: row.start, ...counts(row) })),
    referrers: (data?.referrers ?? []).map((row) => ({ host: row.host, count: row.visits ?? 0 })),
    totals: counts(data?.totals),
  };
}
