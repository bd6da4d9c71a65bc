// Background script of the Tovrin Helper extension, shared by Chromium (a service worker) and
// Firefox (a background script). It talks to the native host TovrinHelperSafariWebExtension:
// "getWebsiteBlockingState" before every top-level navigation, to put the blocked page in place
// of a blocked site, and "trackActiveWebsite" whenever the site in front may have changed.
// The host may be missing or failing; browsing then goes on untouched, and a badge says so.
"use strict";

const api = globalThis.browser ?? globalThis.chrome;
const nativeHostName = "@NATIVE_HOST_NAME@";
const blockedPageURL = api.runtime.getURL("blocked.html");
const browserName = blockedPageURL.startsWith("moz-extension:") ? "firefox" : "chromium";
const focusSettleMilliseconds = 250;

// The URL each tab is navigating to or showing, as last seen; a late blocking answer for an
// address the tab has since left must not send the tab back.
const latestURLOfTab = new Map();
let focusTimer = null;

function isWebURL(url) {
    return typeof url === "string" && /^https?:\/\//i.test(url);
}

// The URL's host as the host reads it: an IPv6 literal without its brackets.
function hostOf(url) {
    try {
        const hostname = new URL(url).hostname.replace(/^\[(.*)\]$/, "$1");
        return hostname === "" ? undefined : hostname;
    } catch {
        return undefined;
    }
}

// The site a tab shows: for the blocked page, the blocked site's address it was opened for.
function siteURLOf(url) {
    if (typeof url !== "string" || !url.startsWith(blockedPageURL)) {
        return url;
    }
    return new URL(url).searchParams.get("url") ?? undefined;
}

// The tracking message: exactly the keys the host reads. Keys without a value are left out.
function trackingMessage(tab, isWindowFocused) {
    const url = siteURLOf(tab.url);
    const message = {
        action: "trackActiveWebsite",
        messageID: crypto.randomUUID(),
        browser: browserName,
        isActiveTab: tab.active === true,
        isWindowFocused: isWindowFocused === true,
        occurredAt: Date.now(),
    };
    if (Number.isInteger(tab.id) && tab.id >= 0) {
        message.tabID = tab.id;
    }
    if (Number.isInteger(tab.windowId) && tab.windowId >= 0) {
        message.windowID = tab.windowId;
    }
    if (typeof url === "string" && url !== "") {
        message.url = url;
        const host = hostOf(url);
        if (host !== undefined) {
            message.host = host;
        }
    }
    return message;
}

function blockingStateMessage(url) {
    const message = {action: "getWebsiteBlockingState", url: url};
    const host = hostOf(url);
    if (host !== undefined) {
        message.host = host;
    }
    return message;
}

// Shows whether the host answers: no badge while it does, "!" while it does not.
function showHostAvailable(isAvailable, detail) {
    const action = api.action;
    if (!action) {
        return;
    }
    const title = isAvailable ? "Tovrin Helper" : "Tovrin Helper: the helper program is not " +
        "answering (" + detail + "); sites are not checked";
    Promise.all([action.setBadgeText({text: isAvailable ? "" : "!"}), action.setTitle({title})])
        .catch(() => {});
}

// One request to the host; the reply when it says "ok", nothing otherwise. Never throws.
async function askHost(message) {
    try {
        const reply = await api.runtime.sendNativeMessage(nativeHostName, message);
        if (reply && reply.ok === true) {
            showHostAvailable(true);
            return reply;
        }
        showHostAvailable(false, reply && typeof reply.error === "string" ? reply.error
                                                                          : "no reply");
    } catch (error) {
        showHostAvailable(false, String(error && error.message ? error.message : error));
    }
    return null;
}

function showBlockedPage(tabId, url, matchedDomain) {
    const page = new URL(blockedPageURL);
    page.searchParams.set("url", url);
    page.searchParams.set("domain", matchedDomain);
    latestURLOfTab.set(tabId, page.href);
    return api.tabs.update(tabId, {url: page.href}).catch(() => {});
}

function isStillOn(tabId, url) {
    const latest = latestURLOfTab.get(tabId);
    return latest === undefined || latest === url;
}

async function checkNavigation(tabId, url) {
    const reply = await askHost(blockingStateMessage(url));
    if (reply && reply.blocked === true && isStillOn(tabId, url)) {
        await showBlockedPage(tabId, url, String(reply.matchedDomain ?? ""));
    }
}

async function isFocused(windowId) {
    try {
        return (await api.windows.get(windowId)).focused === true;
    } catch {
        return false;
    }
}

async function track(tab, isWindowFocused) {
    if (!tab) {
        return;
    }
    const reply = await askHost(trackingMessage(tab, isWindowFocused));
    // The tracking reply carries the blocking state too: a site that became blocked after its
    // navigation was checked (a new policy, a page changing its own address) is replaced now.
    const url = tab.url;
    if (reply && reply.blocked === true && isWebURL(url) && isStillOn(tab.id, url)) {
        await showBlockedPage(tab.id, url, String(reply.matchedDomain ?? ""));
    }
}

async function trackTab(tabId) {
    try {
        const tab = await api.tabs.get(tabId);
        await track(tab, await isFocused(tab.windowId));
    } catch {
        // The tab closed meanwhile.
    }
}

// The active tab of the focused window, or of the last focused one when the browser has lost
// the focus (then reported as not focused).
async function trackFront() {
    try {
        const window = await api.windows.getLastFocused({populate: true});
        const tab = (window.tabs ?? []).find((candidate) => candidate.active);
        await track(tab, window.focused === true);
    } catch {
        // No window.
    }
}

// A top-level navigation is checked before its page loads. Chromium may also load a page ahead
// of time in a hidden "prerender" document; that one is checked when it becomes the tab's page.
api.webNavigation.onBeforeNavigate.addListener((details) => {
    if (details.frameId !== 0 || details.documentLifecycle === "prerender") {
        return;
    }
    latestURLOfTab.set(details.tabId, details.url);
    if (isWebURL(details.url)) {
        checkNavigation(details.tabId, details.url);
    }
});

// The tab's address changed: a navigation committed (perhaps after server redirects), a page
// changed its own address, or a page loaded ahead of time became the tab's page. An active tab
// is reported (its reply carries the blocking state); a tab in the background is only checked.
api.tabs.onUpdated.addListener((tabId, changeInfo, tab) => {
    if (typeof changeInfo.url !== "string") {
        return;
    }
    latestURLOfTab.set(tabId, changeInfo.url);
    if (tab.active) {
        isFocused(tab.windowId).then((focused) => track(tab, focused));
    } else if (isWebURL(changeInfo.url)) {
        checkNavigation(tabId, changeInfo.url);
    }
});

api.tabs.onActivated.addListener((activeInfo) => trackTab(activeInfo.tabId));
api.tabs.onRemoved.addListener((tabId) => latestURLOfTab.delete(tabId));

// Focus moves in bursts (leaving one window, entering another); report where it settles.
api.windows.onFocusChanged.addListener(() => {
    clearTimeout(focusTimer);
    focusTimer = setTimeout(trackFront, focusSettleMilliseconds);
});

// When the browser starts or the extension is installed, report what is in front already.
api.runtime.onStartup.addListener(trackFront);
api.runtime.onInstalled.addListener(trackFront);
