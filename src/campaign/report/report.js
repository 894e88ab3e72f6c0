// The written report's own script (`varnel-campaign report`), after the scripts every campaign
// page shares: its data are in the page, in #report-data.
(function (page) {
  "use strict";
  page.listErrors();
  page.showCampaign(JSON.parse(document.getElementById("report-data").textContent));
})(globalThis.varnelPage);
