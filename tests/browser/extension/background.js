// Runs once when the browser loads the extension: asks the native host whether a blocked site is
// blocked, then sends a tracking message whose messageID carries that reply, so that the event
// the host stores shows that the browser received the reply. The host's name is filled in by the
// test that copies this folder.
const host = "@NATIVE_HOST_NAME@";

function report(messageID) {
    return chrome.runtime.sendNativeMessage(host, {
        action: "trackActiveWebsite",
        messageID: messageID,
        browser: "chromium-headless",
        url: "https://www.blocked.example/news",
        isActiveTab: true,
        isWindowFocused: true,
        occurredAt: Date.now(),
    });
}

async function check() {
    const state = await chrome.runtime.sendNativeMessage(host, {
        action: "getWebsiteBlockingState",
        url: "https://www.blocked.example/",
    });
    await report("reply " + JSON.stringify(state));
}

check().catch((error) => report("error " + String(error)).catch(() => {}));
