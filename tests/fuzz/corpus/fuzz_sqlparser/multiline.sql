CREATE TABLE IF NOT EXISTS t_setting (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    name TEXT NOT NULL,
    value TEXT
);
#IFN_COL|t_setting|value;
INSERT INTO t_setting (name, value)
VALUES ('theme', 'dark'), ('language', 'en');
