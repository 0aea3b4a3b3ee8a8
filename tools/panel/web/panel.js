// The panel's page: the board's state from the event stream, operations as
// POST /api/op. Every tab sees what the one poller of the program reads.
'use strict';

const LETTERS = ['A', 'B', 'C', 'D', 'S'];
const COLOURS = ['#2563eb', '#dc2626', '#16a34a', '#9333ea', '#ea580c', '#0891b2', '#ca8a04', '#db2777',
  '#4b5563', '#65a30d', '#7c3aed', '#0d9488', '#b91c1c', '#1d4ed8', '#a16207'];
const KEPT_POINTS = 200;  // 10 s at the poller's 20 readings a second
const $ = (id) => document.getElementById(id);

// The address carried the token once; the cookie carries it from now on.
if (location.search.includes('token=')) history.replaceState(null, '', '/');

let state = null;

async function op(body) {
  let response;
  try {
    response = await fetch('/api/op', {
      method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify(body),
    });
  } catch (e) {
    return { ok: false, error: 'panel', message: 'the panel cannot be reached' };
  }
  const answer = await response.json().catch(() => ({}));
  if (!response.ok) return { ok: false, error: 'HTTP ' + response.status, message: answer.error || '' };
  return answer;
}

const errorText = (a) => `error ${a.error}: ${a.message}`;
const numberOf = (id) => Number.parseInt($(id).value, 10);

// ---- digital ports ----
function buildPorts() {
  const table = $('ports');
  for (const letter of LETTERS) {
    const row = table.insertRow();
    row.innerHTML = `<th>${letter}</th><td><div class="bits" id="bits-${letter}"></div></td>
      <td class="value" id="value-${letter}">?</td>
      <td><label>direction <input id="dir-${letter}" size="5" placeholder="0..255"></label>
      <button type="button" id="dir-${letter}-set">Set</button></td>`;
    const bits = row.querySelector('.bits');
    for (let bit = 7; bit >= 0; bit--) {
      const cell = document.createElement('div');
      cell.className = 'bit';
      cell.innerHTML = `<i class="lamp" id="lamp-${letter}-${bit}" title="bit ${bit}"></i>
        <input type="checkbox" id="switch-${letter}-${bit}" title="output bit ${bit}" hidden><span>${bit}</span>`;
      bits.appendChild(cell);
      cell.querySelector('input').addEventListener('change', (event) => toggle(letter, bit, event.target));
    }
    $(`dir-${letter}-set`).addEventListener('click', async () => {
      const text = $(`dir-${letter}`).value.trim();
      const mask = text.startsWith('$') ? Number.parseInt(text.slice(1), 16) : Number.parseInt(text, 10);
      report(`direction ${letter}`, await op({ op: 'portDirection', port: letter, mask }));
    });
  }
}

async function toggle(letter, bit, box) {
  const port = state && state.ports[letter];
  const base = port && port.value !== null ? port.value : 0;
  const value = box.checked ? base | (1 << bit) : base & ~(1 << bit);
  box.disabled = true;
  report(`write ${letter}`, await op({ op: 'portWrite', port: letter, value }));
  box.disabled = false;
}

function showPorts(ports) {
  for (const letter of LETTERS) {
    const { value, direction } = ports[letter];
    $(`value-${letter}`).textContent = value === null ? '?' :
      `${value} ($${value.toString(16).toUpperCase().padStart(2, '0')})`;
    const dir = $(`dir-${letter}`);
    if (document.activeElement !== dir && direction !== null) dir.value = direction;
    for (let bit = 0; bit < 8; bit++) {
      $(`lamp-${letter}-${bit}`).classList.toggle('on', value !== null && ((value >> bit) & 1) === 1);
      const box = $(`switch-${letter}-${bit}`);
      box.hidden = direction === null || ((direction >> bit) & 1) === 0;
      if (!box.disabled) box.checked = value !== null && ((value >> bit) & 1) === 1;
    }
  }
}

// ---- analog ----
let analogPlot = null;
let analogData = null;    // [times, series per selected channel]
let analogChannels = [];
let analogPoints = 0;

function chartOptions(title, channels, width, xLabel) {
  return {
    title, width, height: 220,
    scales: { x: { time: false } },
    axes: [{ label: xLabel }, { label: 'value' }],
    series: [{ label: xLabel }, ...channels.map((c) => ({ label: `ch${c}`, stroke: COLOURS[c % COLOURS.length], width: 1.5 }))],
  };
}

function chartWidth(id) { return Math.max(300, $(id).clientWidth || 600); }

function resetAnalogChart(channels) {
  analogChannels = channels;
  analogData = [[], ...channels.map(() => [])];
  analogPoints = 0;
  if (analogPlot) analogPlot.destroy();
  analogPlot = null;
  $('analog-chart').dataset.points = '0';
  if (channels.length > 0) {
    analogPlot = new uPlot(chartOptions('', channels, chartWidth('analog-chart'), 'time (s)'), analogData, $('analog-chart'));
  }
}

function addAnalog(reading) {
  const channels = Object.keys(reading.values).map(Number);
  if (channels.join() !== analogChannels.join()) resetAnalogChart(channels);
  if (!analogPlot) return;
  analogData[0].push(reading.t);
  channels.forEach((c, i) => analogData[i + 1].push(reading.values[c]));
  if (analogData[0].length > KEPT_POINTS) analogData.forEach((series) => series.shift());
  analogPlot.setData(analogData);
  analogPoints += 1;
  $('analog-chart').dataset.points = String(analogPoints);
  $('analog-values').innerHTML = channels.map((c) =>
    `<span>ch${c} <b id="analog-value-${c}">${reading.values[c]}</b></span>`).join('') +
    `<span class="muted">${reading.bits} bits</span>`;
}

function buildAnalog() {
  const box = $('analog-channels');
  for (let c = 0; c < 15; c++) {
    const label = document.createElement('label');
    label.innerHTML = `<input type="checkbox" id="analog-ch-${c}"> ${c}`;
    box.appendChild(label);
  }
  const send = async () => {
    const channels = [];
    for (let c = 0; c < 15; c++) if ($(`analog-ch-${c}`).checked) channels.push(c);
    report('analog channels', await op({ op: 'analog', bits: numberOf('analog-bits'), channels }));
  };
  box.addEventListener('change', send);
  $('analog-bits').addEventListener('change', send);
}

function showAnalogSelection(analog) {
  for (let c = 0; c < 15; c++) $(`analog-ch-${c}`).checked = analog.channels.includes(c);
  if (document.activeElement !== $('analog-bits')) $('analog-bits').value = String(analog.bits);
  if (analog.channels.length === 0 && analogPlot) resetAnalogChart([]);
}

// ---- block sampling ----
let samplePlot = null;

async function sample(event) {
  event.preventDefault();
  const channels = $('sample-channels').value.split(',').map((s) => s.trim()).filter((s) => s !== '').map(Number);
  $('sample-go').disabled = true;
  $('sample-result').textContent = 'sampling…';
  const answer = await op({ op: 'sample', bits: numberOf('sample-bits'), channels, rate: numberOf('sample-rate'),
    samples: numberOf('sample-count') });
  $('sample-go').disabled = false;
  report('sample', answer);
  if (!answer.ok) {
    $('sample-result').textContent = errorText(answer);
    return;
  }
  const count = answer.series[0].values.length;
  const data = [Array.from({ length: count }, (_, k) => k), ...answer.series.map((s) => s.values)];
  if (samplePlot) samplePlot.destroy();
  samplePlot = new uPlot(chartOptions('', answer.series.map((s) => s.channel), chartWidth('sample-chart'), 'sample'),
    data, $('sample-chart'));
  $('sample-chart').dataset.points = samplePlot.data.slice(1).map((s) => s.length).join(',');
  $('sample-result').textContent = `${count} samples × ${answer.series.length} channels at ${answer.bits} bits`;
  $('sample-csv').hidden = false;
}

// ---- stepper, PWM, period, I/O-485 ----
function buildActions() {
  $('motor-go').addEventListener('click', async () => report('motor go', await op({
    op: 'motorGo', characters: $('motor-chars').value, steps: numberOf('motor-steps'), speed: numberOf('motor-speed'),
    n3: numberOf('motor-n3'), n4: numberOf('motor-n4') })));
  $('motor-stop').addEventListener('click', async () => report('motor stop', await op({ op: 'motorStop' })));
  $('motor-disable').addEventListener('click', async () => report('motor disable', await op({ op: 'motorDisable' })));
  $('motor-reset').addEventListener('click', async () => report('motor reset', await op({ op: 'motorReset' })));
  $('pwm-go').addEventListener('click', async () => report('pwm', await op({
    op: 'pwm', frequency: numberOf('pwm-frequency'), duty: numberOf('pwm-duty'), pulses: numberOf('pwm-pulses') })));
  $('period-read').addEventListener('click', async () => {
    const answer = await op({ op: 'period' });
    if (answer.ok) $('period').textContent = answer.value;
    report('period', answer);
  });
  const io485 = async (name, body) => {
    const answer = await op(body);
    $('io485-result').textContent = `${name}: ${answer.ok ? answer.value : errorText(answer)}`;
    report(name, answer);
  };
  $('io485-init').addEventListener('click', () => io485('init', { op: 'io485Init' }));
  $('io485-reset').addEventListener('click', () => io485('reset', { op: 'io485Reset' }));
  $('io485-form').addEventListener('submit', (event) => {
    event.preventDefault();
    io485('address', { op: 'io485Address', address: numberOf('io485-address'), ic: numberOf('io485-ic'),
      broadcast: $('io485-broadcast').checked ? 1 : 0 });
  });
  $('reopen').addEventListener('click', async () => report('reopen', await op({ op: 'reopen' })));
  $('sample-form').addEventListener('submit', sample);
}

// ---- terminal ----
const history_ = [];
let historyAt = 0;

function termLine(text, error) {
  const line = document.createElement('div');
  line.textContent = text;
  if (error) line.className = 'error';
  $('term-output').appendChild(line);
  $('term-output').scrollTop = $('term-output').scrollHeight;
}

function buildTerminal() {
  const input = $('term-input');
  $('term-form').addEventListener('submit', async (event) => {
    event.preventDefault();
    const text = input.value;
    if (text.trim() === '') return;
    history_.push(text);
    historyAt = history_.length;
    input.value = '';
    termLine(`> ${text}`);
    const answer = await op({ op: 'command', text });
    termLine(answer.ok ? String(answer.value) : errorText(answer), !answer.ok);
  });
  input.addEventListener('keydown', (event) => {
    if (event.key !== 'ArrowUp' && event.key !== 'ArrowDown') return;
    event.preventDefault();
    historyAt = Math.max(0, Math.min(history_.length, historyAt + (event.key === 'ArrowUp' ? -1 : 1)));
    input.value = history_[historyAt] ?? '';
  });
}

// ---- status and log ----
function report(what, answer) {
  if (!answer.ok && typeof answer.error === 'string') {
    // Refused by the panel itself (not a board or library error): not in the program's log.
    addLog({ time: new Date().toISOString().slice(11, 19), operation: what, ok: false, error: answer.error,
      message: answer.message });
  }
}

function addLog(entry) {
  const item = document.createElement('li');
  item.textContent = `${entry.time} ${entry.operation}: ` +
    (entry.ok ? (entry.value ?? 'ok') : `error ${entry.error}: ${entry.message}`);
  if (!entry.ok) item.className = 'error';
  const log = $('log');
  log.insertBefore(item, log.firstChild);
  while (log.children.length > 200) log.removeChild(log.lastChild);
}

function showState(s) {
  state = s;
  const line = $('line-state');
  line.textContent = s.line;
  line.className = `badge ${s.line}`;
  // A COM port comes as its number, a device path as the text given to --port.
  $('port').textContent = typeof s.port === 'number' ? `COM${s.port}` : s.port;
  $('baud').textContent = s.baud;
  $('version').textContent = s.version;
  $('tool').textContent = `tarvelin ${s.tool}`;
  const error = $('last-error');
  error.textContent = s.lastError ? `${s.lastError.code}: ${s.lastError.message} (${s.lastError.operation})` : 'none';
  error.classList.toggle('error', s.lastError !== null);
  showPorts(s.ports);
  showAnalogSelection(s.analog);
  $('motor-counter').textContent = s.stepper.counter;
  $('motor-running').classList.toggle('on', s.stepper.running);
  $('motor-limit').classList.toggle('on', s.stepper.limit);
  $('pwm-counter').textContent = s.pwm.counter;
  $('pwm-finished').classList.toggle('on', s.pwm.finished);
  $('period').textContent = s.period;
}

function connect() {
  const events = new EventSource('/api/events');
  events.addEventListener('open', () => { $('connection').textContent = ''; });
  events.addEventListener('error', () => { $('connection').textContent = 'the panel cannot be reached; retrying'; });
  events.addEventListener('state', (e) => showState(JSON.parse(e.data)));
  events.addEventListener('log', (e) => addLog(JSON.parse(e.data)));
  events.addEventListener('analog', (e) => addAnalog(JSON.parse(e.data)));
}

buildPorts();
buildAnalog();
buildActions();
buildTerminal();
connect();
