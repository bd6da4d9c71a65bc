// The page shown in place of a blocked site. Its address carries the blocked site's address
// ("url") and the blocked domain that covers it ("domain"); both are shown as plain text.
"use strict";

const parameters = new URLSearchParams(location.search);
const domain = parameters.get("domain") ?? "";
const address = parameters.get("url") ?? "";

if (domain !== "") {
    document.getElementById("domain").textContent = domain;
    document.getElementById("domain-line").hidden = false;
    document.title = "Blocked: " + domain;
}
if (address !== "") {
    document.getElementById("address").textContent = address;
    document.getElementById("address-line").hidden = false;
}
// Only a web address is offered again; opening it asks for its blocking state anew.
if (/^https?:\/\//i.test(address)) {
    const retry = document.getElementById("retry");
    retry.href = address;
    retry.hidden = false;
}
