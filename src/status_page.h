// The status page served at / by the HTTP side: one document, its style
// and script inline, that reads /status.json and redraws itself.
#pragma once

const char *status_page_html();
