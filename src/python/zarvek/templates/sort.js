// SPDX-License-Identifier: MIT
document.querySelectorAll("table.results").forEach(function (table) {
  table.setAttribute("data-sortable", "");
  var headings = table.tHead.rows[0].cells;
  Array.prototype.forEach.call(headings, function (heading, column) {
    heading.querySelector("button").addEventListener("click", function () {
      var ascending = heading.getAttribute("aria-sort") !== "ascending";
      Array.prototype.forEach.call(headings, function (h) { h.removeAttribute("aria-sort"); });
      heading.setAttribute("aria-sort", ascending ? "ascending" : "descending");
      var body = table.tBodies[0];
      var rows = Array.prototype.slice.call(body.rows);
      rows.sort(function (a, b) {
        var x = a.cells[column].getAttribute("data-sort");
        var y = b.cells[column].getAttribute("data-sort");
        var nx = parseFloat(x), ny = parseFloat(y);
        var order = !isNaN(nx) && !isNaN(ny) ? nx - ny : x.localeCompare(y);
        return ascending ? order : -order;
      });
      rows.forEach(function (row) { body.appendChild(row); });
    });
  });
});
