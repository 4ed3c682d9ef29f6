/* Sortable tables for the publisher's report. Without scripts the tables keep
   their own order; with them, each heading becomes a button that sorts its
   column: figures as figures, dates as dates, words as words. The report's
   policy admits this script by its hash alone, so it must load nothing. */
(function () {
  "use strict";
  var words = new Intl.Collator(undefined, {numeric: true, sensitivity: "base"});
  /* "1,234", "5.6%", "+0.3 points", "~40", "about 40" */
  var number = /^(?:about |~)?([+\-\u2212]?)(\d{1,3}(?:[,\u00a0\u202f ]\d{3})+(?:\.\d+)?|\d*\.?\d+)\s*(?:%|points?)?$/;
  var day = /^(\d{4})-(\d{2})-(\d{2})(?:\s.*)?$/;
  var week = /^(\d{4})-W(\d{2})(?:\s.*)?$/;
  var missing = /^(?:|-|\u2013|\?|\(.*\))$/;

  function asNumber(text) {
    var m = number.exec(text);
    if (!m) return null;
    var v = parseFloat(m[2].replace(/[,\u00a0\u202f ]/g, ""));
    return m[1] && m[1] !== "+" ? -v : v;
  }
  function asDate(text) {
    var m = day.exec(text);
    if (m) return Date.UTC(+m[1], +m[2] - 1, +m[3]);
    m = week.exec(text);
    /* A column holds days or weeks, never both. */
    return m ? +m[1] * 100 + +m[2] : null;
  }

  /* A column is of figures or dates when every cell that holds anything is. */
  function kindOf(cells) {
    var kinds = ["number", "date"];
    for (var i = 0; i < cells.length && kinds.length; ++i) {
      var t = cells[i];
      if (missing.test(t)) continue;
      if (asNumber(t) === null) kinds = kinds.filter(function (k) { return k !== "number"; });
      if (asDate(t) === null) kinds = kinds.filter(function (k) { return k !== "date"; });
    }
    return kinds.length ? kinds[0] : "text";
  }

  function sortBy(table, column, heads) {
    var body = table.tBodies[0];
    var rows = Array.prototype.slice.call(body.rows);
    var cells = rows.map(function (r) { return r.cells[column] ? r.cells[column].textContent.trim() : ""; });
    var kind = kindOf(cells);
    var th = heads[column];
    var ascending = th.getAttribute("aria-sort") !== "ascending";
    var keys = rows.map(function (r, i) {
      var k = kind === "number" ? asNumber(cells[i]) : kind === "date" ? asDate(cells[i]) : cells[i];
      return {row: r, key: k, at: +r.getAttribute("data-at")};
    });
    keys.sort(function (a, b) {
      /* Cells without a value go last either way; ties keep the report's order. */
      if ((a.key === null) !== (b.key === null)) return a.key === null ? 1 : -1;
      var c = a.key === null ? 0 : kind === "text" ? words.compare(a.key, b.key) : a.key - b.key;
      return (ascending ? c : -c) || a.at - b.at;
    });
    var frag = document.createDocumentFragment();
    keys.forEach(function (k) { frag.appendChild(k.row); });
    body.appendChild(frag);
    heads.forEach(function (h) { h.removeAttribute("aria-sort"); });
    th.setAttribute("aria-sort", ascending ? "ascending" : "descending");
  }

  Array.prototype.forEach.call(document.querySelectorAll("table"), function (table) {
    var body = table.tBodies[0];
    if (!table.tHead || !body || body.rows.length < 2) return;
    Array.prototype.forEach.call(body.rows, function (r, i) { r.setAttribute("data-at", i); });
    var heads = Array.prototype.slice.call(table.tHead.rows[0].cells);
    heads.forEach(function (th, column) {
      var button = document.createElement("button");
      button.type = "button";
      while (th.firstChild) button.appendChild(th.firstChild);
      th.appendChild(button);
      /* A button takes Enter and Space as a click. */
      button.addEventListener("click", function () { sortBy(table, column, heads); });
    });
    if (table.caption) {
      var hint = document.createElement("span");
      hint.className = "hint";
      hint.textContent = " (select a heading to sort)";
      table.caption.appendChild(hint);
    }
  });
})();
