// The page and its script, built into the program so that nothing but these
// bytes and the help files can be served. Texts come from /api/texts (the
// string table of the active language); elements carry their entry number
// in data-t.
extern const char *const pages_html;

const char *const pages_html = R"PAGE(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title data-t="60"></title>
<style>
body{font:14px sans-serif;margin:1em;max-width:52em}
nav button{padding:.4em 1em;border:1px solid #888;background:#eee;cursor:pointer}
nav button.on{background:#fff;border-bottom-color:#fff;font-weight:bold}
section{border:1px solid #888;padding:1em;display:none}section.on{display:block}
label{display:block;margin:.3em 0}input[type=text]{width:6em}
table{border-collapse:collapse;width:100%;margin:.5em 0}
th,td{border:1px solid #bbb;padding:.2em .4em;text-align:left}
tr.sel{background:#cde}.note{color:#555;margin-top:1em}.msg{color:#a00}
.rejected{color:#a00;margin-left:.5em}ul.msg{margin:.3em 0}
textarea{width:100%;height:18em;font-family:monospace}
</style></head><body>
<h1 data-t="60"></h1>
<nav>
<button id="tab-nfs" data-page="nfs" data-t="30"></button><button id="tab-server" data-page="server" data-t="31"></button><button id="tab-exports" data-page="exports" data-t="32"></button><button id="tab-mounts" data-page="mounts" data-t="33"></button><button id="tab-portmapper" data-page="portmapper" data-t="34"></button><button id="tab-language" data-page="language" data-t="35"></button>
</nav>
<section id="nfs">
<label><span data-t="37"></span> <input type="text" id="Mount-Port" name="Mount-Port"></label>
<label><span data-t="38"></span> <input type="text" id="Port" name="Port"></label>
<label><span data-t="39"></span> <input type="text" id="Threads" name="Threads"></label>
<label><span data-t="40"></span> <input type="text" id="Datasize" name="Datasize"></label>
<label><input type="checkbox" id="UDP" name="UDP"> <span data-t="41"></span></label>
<label><input type="checkbox" id="TCP" name="TCP"> <span data-t="42"></span></label>
<label><input type="checkbox" id="Version2" name="Version2"> <span data-t="43"></span></label>
<label><input type="checkbox" id="Version3" name="Version3"> <span data-t="44"></span></label>
<label><input type="checkbox" id="NFS2Write" name="NFS2Write"> <span data-t="45"></span></label>
<label><input type="checkbox" id="SoftLinks" name="SoftLinks"> <span data-t="46"></span></label>
<label><input type="checkbox" id="HardLinks" name="HardLinks"> <span data-t="47"></span></label>
<p class="note" data-t="36"></p>
<button id="apply-nfs" data-t="59"></button> <button id="help" data-t="48"></button> <span class="msg" id="msg-nfs"></span>
</section>
<section id="server">
<label><input type="checkbox" id="PortMapper" name="PortMapper"> <span data-t="49"></span></label>
<label><input type="checkbox" id="Remote" name="Remote"> <span data-t="50"></span></label>
<label><input type="checkbox" id="InodeReset" name="InodeReset"> <span data-t="51"></span></label>
<label><input type="checkbox" id="Lowercase" name="Lowercase"> <span data-t="52"></span></label>
<fieldset><legend data-t="53"></legend>
<label><input type="checkbox" id="charset-ansi"> <span data-t="54"></span></label>
<label><input type="checkbox" id="charset-utf8"> <span data-t="55"></span></label>
</fieldset>
<p class="note" data-t="36"></p>
<button id="apply-server" data-t="59"></button> <span class="msg" id="msg-server"></span>
</section>
<section id="exports">
<table id="exports-list"><thead><tr><th data-t="13"></th><th data-t="14"></th><th data-t="15"></th></tr></thead><tbody></tbody></table>
<ul class="msg" id="exports-problems"></ul>
<button id="edit-exports" data-t="56"></button>
<div id="editor" hidden><textarea id="exports-text"></textarea><br>
<ul class="msg" id="draft-problems"></ul>
<button id="save-exports" data-t="57"></button> <button id="save-anyway" data-t="70" hidden></button> <span class="msg" id="msg-exports"></span></div>
</section>
<section id="mounts">
<table id="mounts-list"><thead><tr><th data-t="19"></th><th data-t="20"></th></tr></thead><tbody></tbody></table>
</section>
<section id="portmapper">
<table id="portmapper-list"><thead><tr><th data-t="16"></th><th data-t="7"></th><th data-t="17"></th><th data-t="18"></th></tr></thead><tbody></tbody></table>
</section>
<section id="language">
<p><span data-t="65"></span> <b id="current-language"></b></p>
<table id="language-list"><thead><tr><th data-t="5"></th><th data-t="6"></th><th data-t="7"></th></tr></thead><tbody></tbody></table>
<p><span data-t="58"></span> <span id="translator"></span></p>
<button id="apply-language" data-t="59"></button> <span class="msg" id="msg-language"></span>
</section>
<p><button id="exit" data-t="9"></button> <a href="/help" target="_blank" data-t="66"></a></p>
<script>
"use strict";
const TOKEN = "@TOKEN@";
let T = {}, timer = null, languages = [], chosen = 0;
const $ = id => document.getElementById(id);
// "&Help" shows as "Help"; "&&" stands for one "&".
const shown = t => (t || "").replace(/&(&?)/g, (m, a) => a);
async function get(path) {
  const r = await fetch(path, {headers: {"X-Nimbora-Token": TOKEN}});
  if (!r.ok) throw new Error(r.status);
  return path === "/api/exports-file" ? r.text() : r.json();
}
async function post(path, body, type) {
  const r = await fetch(path, {method: "POST", body: body,
    headers: {"X-Nimbora-Token": TOKEN, "Content-Type": type || "application/x-www-form-urlencoded"}});
  return r.ok ? r.json() : {ok: false};
}
function fill(id, rows) {
  const body = $(id).tBodies[0];
  body.replaceChildren(...rows.map(cells => {
    const tr = document.createElement("tr");
    for (const c of cells) { const td = document.createElement("td"); td.textContent = c; tr.appendChild(td); }
    return tr;
  }));
  return body;
}
async function refresh(page) {
  try {
    if (page === "exports") {
      const e = await get("/api/exports"); fill("exports-list", e.rows); problems("exports-problems", e.problems);
    } else if (page === "mounts") { fill("mounts-list", (await get("/api/mounts")).rows); }
    else if (page === "portmapper") { fill("portmapper-list", (await get("/api/portmapper")).rows); }
  } catch (e) { fill(page + "-list", []); }
}
function settings(s) {
  for (const [name, v] of Object.entries(s)) {
    const el = $(name);
    if (el && el.type === "checkbox") el.checked = v === "1"; else if (el) el.value = v;
  }
  $("charset-ansi").checked = s.CharSet === "1"; $("charset-utf8").checked = s.CharSet === "2";
}
function form(section) {
  const f = new URLSearchParams();
  for (const el of $(section).querySelectorAll("input[name]"))
    if (el.type !== "checkbox") f.append(el.name, el.value); else if (el.checked) f.append(el.name, "1");
  if (section === "server") f.append("CharSet", $("charset-ansi").checked ? "1" : $("charset-utf8").checked ? "2" : "0");
  return f;
}
// One line per problem of an exports file: "Line 3 ignored, ...".
function problems(id, list) {
  $(id).replaceChildren(...(list || []).map(p => { const li = document.createElement("li"); li.textContent = p.text; return li; }));
}
// A refused value keeps what the user typed and is marked beside its field.
async function apply(section) {
  const r = await post("/api/" + section, form(section));
  for (const el of $(section).querySelectorAll(".rejected")) el.remove();
  const rejected = r.rejected || {};
  if (r.ok && r.settings) settings(r.settings);
  for (const [name, range] of Object.entries(rejected)) {
    const note = document.createElement("span");
    note.className = "rejected"; note.textContent = shown(T[71]) + " " + range;
    $(name).after(note);
  }
  $("msg-" + section).textContent = shown(T[r.ok ? 63 : Object.keys(rejected).length ? 72 : 64]);
}
function show(page) {
  clearInterval(timer); timer = null;
  for (const b of document.querySelectorAll("nav button")) b.classList.toggle("on", b.dataset.page === page);
  for (const s of document.querySelectorAll("section")) s.classList.toggle("on", s.id === page);
  if (page === "mounts" || page === "portmapper") timer = setInterval(() => refresh(page), 2000);
  if (page === "language") loadLanguages();
  refresh(page);
}
async function loadLanguages() {
  const l = await get("/api/languages");
  languages = l.rows;
  chosen = Math.max(0, languages.findIndex(r => r[0] === l.active));
  $("current-language").textContent = languages[chosen][1];
  const body = fill("language-list", languages.map(r => [r[0] ? r[0].toLowerCase() : "nfsd", r[1], r[2]]));
  [...body.rows].forEach((tr, i) => tr.onclick = () => choose(i));
  choose(chosen);
}
function choose(i) {
  chosen = i;
  [...$("language-list").tBodies[0].rows].forEach((tr, j) => tr.classList.toggle("sel", j === i));
  $("translator").textContent = languages[i][3];
}
// One transport and one version stay checked: clearing the last re-checks the other.
function partners(a, b) {
  $(a).onchange = () => { if (!$(a).checked && !$(b).checked) $(b).checked = true; };
  $(b).onchange = () => { if (!$(a).checked && !$(b).checked) $(a).checked = true; };
}
async function start() {
  T = await get("/api/texts");
  for (const el of document.querySelectorAll("[data-t]")) el.textContent = shown(T[el.dataset.t]);
  settings(await get("/api/settings"));
  partners("UDP", "TCP"); partners("Version2", "Version3");
  $("charset-ansi").onchange = () => { if ($("charset-ansi").checked) $("charset-utf8").checked = false; };
  $("charset-utf8").onchange = () => { if ($("charset-utf8").checked) $("charset-ansi").checked = false; };
  for (const b of document.querySelectorAll("nav button")) b.onclick = () => show(b.dataset.page);
  $("apply-nfs").onclick = () => apply("nfs");
  $("apply-server").onclick = () => apply("server");
  $("help").onclick = () => window.open("/help", "_blank");
  $("edit-exports").onclick = async () => { $("exports-text").value = await get("/api/exports-file"); $("editor").hidden = false; };
  const save = async (force) => {
    const r = await post("/api/exports-file" + (force ? "?force=1" : ""), $("exports-text").value, "text/plain");
    const found = (r.problems || []).length > 0;
    problems("draft-problems", r.problems);
    $("save-anyway").hidden = r.ok || !found;
    $("msg-exports").textContent = shown(T[r.ok ? 61 : found ? 69 : 62]);
  };
  $("save-exports").onclick = () => save(false);
  $("save-anyway").onclick = () => save(true);
  $("apply-language").onclick = async () => {
    const r = await post("/api/language", new URLSearchParams({module: languages[chosen][0]}));
    if (r.ok) location.reload(); else $("msg-language").textContent = shown(T[64]);
  };
  $("exit").onclick = async () => { await post("/api/exit", ""); document.body.textContent = shown(T[67]); };
  show("nfs");
}
start();
</script></body></html>
)PAGE";
