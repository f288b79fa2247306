'use strict';
// SIRANO's companion in the user's browser. It tells the SIRANO tray program (through the native
// host org.sirano.host) which tabs are open and where, and reads or fills the log-in forms of a
// tab's top document when the tray asks. Commands come from the native port alone: there is no
// listener for pages, other extensions or DOM events, so no page can ask anything of it.
// Firefox loads it as a background page (manifest version 2, so that page access is granted with
// the extension), Chromium as a service worker.

const api = globalThis.browser ?? globalThis.chrome;
const actionApi = api.action ?? api.browserAction;
const HOST = 'org.sirano.host';

// The page functions, shared with SIRANO's own Chromium route.
/* PAGE FUNCTIONS */

// Top-frame documents committed in each tab since this extension started: the tray fills a tab
// once per page, and knows a new page by this count going up.
const loads = new Map();
// Each tab's address as last reported to the tray: a command is checked against it without
// asking the browser again.
const addresses = new Map();
let port = null;

function describe(tab) {
  addresses.set(tab.id, tab.url ?? '');
  return {id: tab.id, url: tab.url ?? '', loading: tab.status === 'loading', loads: loads.get(tab.id) ?? 0};
}

function post(message) {
  if (port) port.postMessage(message);
}

function showState(connected) {
  actionApi.setBadgeText({text: connected ? '' : '!'});
  actionApi.setTitle({title: connected ? 'SIRANO: connected'
                                       : 'SIRANO: not connected (is the SIRANO tray program running?)'});
}

async function hasPageAccess() {
  try {
    return await api.permissions.contains({origins: ['<all_urls>']});
  } catch (e) {
    return false;
  }
}

async function connect() {
  if (port) return;
  let p;
  try {
    p = api.runtime.connectNative(HOST);
  } catch (e) {
    showState(false);
    return;
  }
  port = p;
  p.onMessage.addListener((message) => onMessage(p, message));
  p.onDisconnect.addListener(() => {
    if (port === p) port = null;
    showState(false);
  });
  const [tabs, access] = await Promise.all([api.tabs.query({}), hasPageAccess()]);
  if (port !== p) return;
  p.postMessage({type: 'hello', access, tabs: tabs.map(describe)});
  showState(true);
}

// The tab still shows the page the tray saw: nothing loaded since, and the same address. (The
// page functions check the document's own address once more where they run.)
function samePage(command) {
  if (!addresses.has(command.tab)) throw new Error('No such tab.');
  if ((loads.get(command.tab) ?? 0) !== command.loads || addresses.get(command.tab) !== command.url)
    throw new Error('The tab shows another page now.');
}

async function inTopFrame(tabId, func, args) {
  const results = await api.scripting.executeScript({target: {tabId, frameIds: [0]}, func, args});
  const first = results && results[0];
  if (!first || first.error !== undefined || typeof first.result !== 'object' || first.result === null)
    throw new Error('The page did not answer' + (first && first.error ? ': ' + first.error : '.'));
  return first.result;
}

async function run(command) {
  switch (command.cmd) {
    case 'read':
      samePage(command);
      return inTopFrame(command.tab, readPage, []);
    case 'write':
      samePage(command);
      return inTopFrame(command.tab, writePage, [command.edits, command.observedUrl]);
    case 'open':
      await api.tabs.create({url: String(command.url), active: command.active === true});
      return {};
  }
  throw new Error('Unknown command.');
}

async function onMessage(p, message) {
  if (message && message.type === 'noTray') {
    showState(false);
    return;
  }
  if (!message || typeof message.id !== 'number') return;
  let reply;
  try {
    reply = {type: 'reply', id: message.id, ok: true, result: await run(message)};
  } catch (e) {
    reply = {type: 'reply', id: message.id, ok: false, error: String((e && e.message) || e)};
  }
  if (port === p) p.postMessage(reply);
}

api.webNavigation.onCommitted.addListener((details) => {
  if (details.frameId !== 0) return;
  loads.set(details.tabId, (loads.get(details.tabId) ?? 0) + 1);
  api.tabs.get(details.tabId).then((tab) => post({type: 'tab', tab: describe(tab)}), () => {});
});
api.tabs.onUpdated.addListener((tabId, change, tab) => {
  if (change.status !== undefined || change.url !== undefined) post({type: 'tab', tab: describe(tab)});
});
api.tabs.onRemoved.addListener((tabId) => {
  loads.delete(tabId);
  addresses.delete(tabId);
  post({type: 'closed', id: tabId});
});

// A tray that starts after the browser is found within half a minute.
api.alarms.create('connect', {periodInMinutes: 0.5});
api.alarms.onAlarm.addListener(connect);
connect();
