'use strict';
// The status page's script: reads the bridge's state from api/state and shows
// it, again every poll interval. It only reads: the page has no command. The
// bridge sets the page's language (<html lang>) from the browser's
// Accept-Language; the texts of both languages are here.

const TEXTS = {
    en: {
        title: 'VORTANIX bridge',
        lines: 'RS-485 lines',
        controllers: 'Controllers',
        line: 'Line',
        port: 'Port',
        baud: 'Baud',
        state: 'State',
        exchangesOk: 'Exchanges ok',
        exchangesFailed: 'Failed',
        lastError: 'Last error',
        id: 'Id',
        address: 'Address',
        lastGoodPoll: 'Last good poll',
        temperature: 'Temperature',
        power: 'Power',
        supply: 'Supply',
        running: 'Running time',
        firmware: 'Firmware',
        modules: 'Modules 1–12',
        open: 'open',
        lost: 'lost: {0}',
        online: 'online',
        failing: 'not answering ({0} failed)',
        offline: 'offline',
        unknown: 'no answer yet',
        ago: '{0} {1} ago',
        units: { s: 's', min: 'min', h: 'h' },
        never: 'never',
        sensorOpen: 'sensor open',
        sensorShort: 'sensor shorted',
        hours: '{0} h',
        module: 'Module {0}: {1}, {2}',
        on: 'on',
        off: 'off',
        enabled: 'enabled',
        masked: 'masked',
        legend: 'Module lamps: filled = on, hollow = off, faded = masked (not enabled).',
        summary: '{0} lines, {1} controllers: {2} online, {3} not answering, {4} offline',
        updated: 'Updated {0} (the bridge\'s clock); refreshed every {1} ms. {2}',
        stale: 'No answer from the bridge ({0}); trying again.',
        readOnly: 'Read only: commands go through MQTT, Modbus TCP or vortanix-ctl.',
    },
    zh: {
        title: 'VORTANIX 网关状态',
        lines: 'RS-485 线路',
        controllers: '控制器',
        line: '线路',
        port: '串口',
        baud: '波特率',
        state: '状态',
        exchangesOk: '成功通讯',
        exchangesFailed: '失败',
        lastError: '最近错误',
        id: '名称',
        address: '地址',
        lastGoodPoll: '上次成功读取',
        temperature: '光源温度',
        power: '光源功率',
        supply: '供电电压',
        running: '运行时长',
        firmware: '版本信息',
        modules: '模块 1#–12#',
        open: '已打开',
        lost: '断开：{0}',
        online: '在线',
        failing: '无应答（连续 {0} 次失败）',
        offline: '离线',
        unknown: '尚无应答',
        ago: '{0} {1}前',
        units: { s: '秒', min: '分钟', h: '小时' },
        never: '从未',
        sensorOpen: '传感器开路',
        sensorShort: '传感器短路',
        hours: '{0} 小时',
        module: '模块 {0}#：{1}，{2}',
        on: '开',
        off: '关',
        enabled: '使能',
        masked: '屏蔽',
        legend: '模块指示灯：实心 = 开启，空心 = 关闭，淡色 = 屏蔽（未使能）。',
        summary: '{0} 条线路，{1} 台控制器：{2} 台在线，{3} 台无应答，{4} 台离线',
        updated: '更新于 {0}（网关时钟），每 {1} 毫秒刷新。{2}',
        stale: '网关无应答（{0}），正在重试。',
        readOnly: '只读页面：命令请通过 MQTT、Modbus TCP 或 vortanix-ctl 发送。',
    },
};
const T = document.documentElement.lang.startsWith('zh') ? TEXTS.zh : TEXTS.en;
// However short the poll interval, the page asks at most five times a second.
const FASTEST_MS = 200;
let refreshMs = 1000;
let refreshes = 0;

function say(key, ...values) {
    return values.reduce((text, value, i) => text.replace('{' + i + '}', value), T[key]);
}

function cell(row, content, className) {
    const td = row.insertCell();
    td.textContent = content;
    if (className)
        td.className = className;
    return td;
}

function badge(row, text, kind) {
    const span = document.createElement('span');
    span.className = 'badge ' + kind;
    span.textContent = text;
    row.insertCell().append(span);
}

function age(ms) {
    if (ms === null)
        return T.never;
    const s = ms / 1000;
    if (s < 100)
        return say('ago', s.toFixed(s < 10 ? 1 : 0), T.units.s);
    if (s < 7200)
        return say('ago', Math.round(s / 60), T.units.min);
    return say('ago', Math.round(s / 3600), T.units.h);
}

function showLines(lines) {
    const body = document.querySelector('#lines tbody');
    body.replaceChildren();
    for (const line of lines) {
        const row = body.insertRow();
        row.dataset.line = line.name;
        cell(row, line.name);
        cell(row, line.port);
        cell(row, line.baud, 'number');
        badge(row, line.open ? T.open : say('lost', line.state || ''), line.open ? 'open' : 'lost');
        cell(row, line.exchanges_ok, 'number');
        cell(row, line.exchanges_failed, 'number');
        cell(row, line.last_error || '–', line.last_error ? 'error' : 'none');
    }
}

// online, failing (online, but its latest polls failed: offline after five), offline or unknown
function stateOf(controller) {
    if (controller.availability === 'online' && controller.failed_polls > 0)
        return 'failing';
    return controller.availability;
}

function lamps(row, status) {
    const box = document.createElement('span');
    box.className = 'lamps';
    for (let module = 1; module <= 12; ++module) {
        const on = status.modules_on.includes(module);
        const enabled = status.modules_enabled.includes(module);
        const lamp = document.createElement('span');
        lamp.className = 'lamp' + (on ? ' on' : '') + (enabled ? '' : ' masked');
        lamp.title = say('module', module, on ? T.on : T.off, enabled ? T.enabled : T.masked);
        box.append(lamp);
    }
    row.insertCell().append(box);
}

function temperature(status) {
    if (status.temperature_c !== null)
        return status.temperature_c.toFixed(1) + ' °C';
    return status.sensor === 'open' ? T.sensorOpen : T.sensorShort;
}

function showControllers(controllers) {
    const body = document.querySelector('#controllers tbody');
    body.replaceChildren();
    const count = { online: 0, failing: 0, offline: 0, unknown: 0 };
    for (const controller of controllers) {
        const state = stateOf(controller);
        ++count[state];
        const row = body.insertRow();
        row.dataset.id = controller.id;
        row.dataset.state = state;
        row.className = state;
        cell(row, controller.id);
        cell(row, controller.address, 'number');
        cell(row, controller.line);
        badge(row, state === 'failing' ? say('failing', controller.failed_polls) : T[state], state);
        cell(row, age(controller.last_good_poll_age_ms), 'number');
        const status = controller.status;
        if (status === null) {
            row.insertCell().colSpan = 6;
            continue;
        }
        cell(row, temperature(status), 'number' + (status.temperature_c === null ? ' error' : ''));
        cell(row, status.power_permille + ' ‰', 'number');
        cell(row, status.supply_v.toFixed(2) + ' V', 'number');
        cell(row, say('hours', status.run_hours), 'number');
        cell(row, status.firmware);
        lamps(row, status);
    }
    return count;
}

function show(state) {
    showLines(state.lines);
    const count = showControllers(state.controllers);
    document.getElementById('summary').textContent = say('summary', state.lines.length, state.controllers.length,
        count.online, count.failing, count.offline);
    refreshMs = Math.max(state.bridge.poll_interval_ms, FASTEST_MS);
    const version = state.bridge.version ? 'vortanix-bridge ' + state.bridge.version : '';
    // The bridge's own time of day, as it wrote it (ISO 8601 with its offset).
    document.getElementById('updated').textContent = say('updated', state.bridge.time.substring(11, 19),
        refreshMs, version);
    document.body.classList.remove('stale');
}

function refresh() {
    fetch('api/state', { cache: 'no-store' })
        .then(response => {
            if (!response.ok)
                throw new Error(response.status + ' ' + response.statusText);
            return response.json();
        })
        .then(show)
        .catch(error => {
            document.body.classList.add('stale');
            document.getElementById('updated').textContent = say('stale', error.message);
        })
        .finally(() => {
            // For whoever checks the page (the project's browser test): how often and how many times.
            document.body.dataset.refreshMs = refreshMs;
            document.body.dataset.refreshes = ++refreshes;
            setTimeout(refresh, refreshMs);
        });
}

document.title = T.title;
for (const element of document.querySelectorAll('[data-text]'))
    element.textContent = T[element.dataset.text];
refresh();
