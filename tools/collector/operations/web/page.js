// Fetches /api/summary every second and draws it; builds every element with
// textContent, so names and addresses from the wire are never markup.
'use strict';

const SVG = 'http://www.w3.org/2000/svg';
const RCODES = ['NOERROR', 'NXDOMAIN', 'SERVFAIL', 'REFUSED', 'other'];

function $(id) { return document.getElementById(id); }

function number(n) { return Number(n).toLocaleString('en-US'); }

function bytes(n) {
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let i = 0;
  while (n >= 1024 && i < units.length - 1) { n /= 1024; ++i; }
  return (i === 0 ? n : n.toFixed(1)) + ' ' + units[i];
}

function when(seconds) {
  return seconds == null ? '\u2013' : new Date(seconds * 1000).toLocaleString('sv-SE');
}

function cell(row, text, cls) {
  const td = document.createElement('td');
  td.textContent = text;
  if (cls) td.className = cls;
  row.appendChild(td);
  return td;
}

function fillRows(tbody, items, makeRow) {
  tbody.replaceChildren();
  for (const [i, item] of items.entries()) {
    const row = document.createElement('tr');
    makeRow(row, item, i);
    tbody.appendChild(row);
  }
}

function drawRate(rate) {
  const svg = $('rate-chart');
  const all = rate.queries.concat(rate.answers);
  const top = Math.max(1, ...all);
  const width = 600, height = 160, n = rate.queries.length;
  const points = series => series.map((v, i) =>
    (i * width / Math.max(1, n - 1)).toFixed(1) + ',' + (height - 4 - v * (height - 16) / top).toFixed(1)).join(' ');
  svg.replaceChildren();
  for (const f of [0.5, 1]) {
    const y = (height - 4 - f * (height - 16)).toFixed(1);
    const line = document.createElementNS(SVG, 'line');
    line.setAttribute('class', 'grid');
    line.setAttribute('x1', 0); line.setAttribute('x2', width);
    line.setAttribute('y1', y); line.setAttribute('y2', y);
    svg.appendChild(line);
  }
  $('rate-top').textContent = 'upper line ' + number(top) + '/s, middle ' + number(top / 2) + '/s';
  for (const name of ['queries', 'answers']) {
    const line = document.createElementNS(SVG, 'polyline');
    line.setAttribute('class', name);
    line.setAttribute('points', points(rate[name]));
    svg.appendChild(line);
  }
  // The last whole second: the current one is still being counted.
  $('rate-queries').textContent = number(rate.queries[n - 2] || 0) + '/s';
  $('rate-answers').textContent = number(rate.answers[n - 2] || 0) + '/s';
}

function drawRcodes(rcodes) {
  const total = RCODES.reduce((sum, code) => sum + rcodes[code], 0);
  const bar = $('rcode-bar');
  bar.replaceChildren();
  for (const code of RCODES) {
    if (!total || !rcodes[code]) continue;
    const part = document.createElement('span');
    part.className = 'rc-' + code;
    part.style.width = (100 * rcodes[code] / total) + '%';
    part.title = code;
    bar.appendChild(part);
  }
  fillRows($('rcodes').tBodies[0], RCODES, (row, code) => {
    const name = cell(row, '');
    const swatch = document.createElement('span');
    swatch.className = 'swatch rc-' + code;
    name.appendChild(swatch);
    name.appendChild(document.createTextNode(code));
    cell(row, number(rcodes[code]), 'n');
    cell(row, total ? (100 * rcodes[code] / total).toFixed(1) + ' %' : '\u2013', 'n');
  });
}

function drawTop(id, top) {
  fillRows($(id).tBodies[0], top.entries, (row, entry, i) => {
    cell(row, String(i + 1), 'n');
    cell(row, entry.key, 'key');
    cell(row, number(entry.count) + (entry.error ? ' \u00b1' + number(entry.error) : ''), 'n count')
      .dataset.count = entry.count;
  });
  $(id + '-note').textContent = number(top.counted) + ' counted; any count is high by at most ' +
    number(top.error_bound) + '.';
}

function drawAgents(agents) {
  fillRows($('agents').tBodies[0], agents, (row, agent) => {
    cell(row, agent.address, 'key');
    cell(row, agent.tls_subject == null ? '\u2013' : agent.tls_subject, 'key');
    cell(row, agent.open_connections ? when(agent.connected_since) : 'not connected');
    cell(row, number(agent.events), 'n');
    cell(row, number(agent.broken), agent.broken ? 'n bad' : 'n');
    cell(row, number(agent.open_connections), 'n');
  });
}

function drawOutputs(outputs, clickhouse) {
  fillRows($('outputs').tBodies[0], outputs, (row, output) => {
    cell(row, output.name);
    cell(row, number(output.written), 'n');
    cell(row, number(output.dropped), output.dropped ? 'n bad' : 'n');
  });
  const rows = clickhouse == null ? [] : [
    ['ClickHouse', clickhouse.failing ? 'failing' : 'inserting', clickhouse.failing ? 'bad' : ''],
    ['rows inserted', number(clickhouse.rows_inserted), 'n'],
    ['rows per second', number(Math.round(clickhouse.rows_per_second)), 'n'],
    ['spool', bytes(clickhouse.spool_bytes), 'n'],
    ['quarantined batches', number(clickhouse.quarantined_batches), clickhouse.quarantined_batches ? 'n bad' : 'n'],
  ];
  fillRows($('clickhouse').tBodies[0], rows, (row, [name, value, cls]) => {
    cell(row, name);
    cell(row, value, cls);
  });
}

function draw(s) {
  const total = $('events-total');
  total.textContent = number(s.events_total);
  total.dataset.value = s.events_total;
  drawRate(s.rate);
  drawRcodes(s.rcodes);
  drawTop('top-names', s.top_names);
  drawTop('top-nxdomain', s.top_nxdomain);
  drawTop('top-clients', s.top_clients);
  drawAgents(s.agents);
  drawOutputs(s.outputs, s.clickhouse);
  $('state').textContent = 'updated ' + new Date(s.now * 1000).toLocaleTimeString('sv-SE');
  $('state').className = 'state';
}

async function refresh() {
  try {
    const response = await fetch('/api/summary', {cache: 'no-store'});
    if (!response.ok) throw new Error('HTTP ' + response.status);
    draw(await response.json());
  } catch (error) {
    $('state').textContent = 'no answer from the collector (' + error.message + ')';
    $('state').className = 'state failing';
  }
  setTimeout(refresh, 1000);
}

refresh();
