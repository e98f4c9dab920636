"""Every report the lab gives: bench/compare-openssl's tables made as data
(labreport), each table rendered as text (text, labtext, fleettext,
qualitytext), as pictures (plots), and as one page a person opens: every
table a command prints, as the cells its text aligns (text.Table), with
its pictures as inline SVG, the answer first and the provenance last, and
the data the tables are made from embedded once as JSON. One renderer
(html) lays out any table, so that a table written once as data shows in
the text, the JSON and the page alike; pages says what each command's page
holds, and pictures which pictures each table has."""
