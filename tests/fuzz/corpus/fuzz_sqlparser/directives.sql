IFN_COL|t config|value;
IFN_COL|t config|missing;
ALTER TABLE "t config" ADD COLUMN missing INTEGER;
IFN_COL|no_such_table|id;
INSERT INTO no_such_table VALUES (1);
  ;  ;
IFN_COL|t_user|NAME;
CREATE TABLE t_log (id INTEGER PRIMARY KEY, text TEXT);
ifn_col|t_user|age;
IFN_COL|t_user|%;
IFN_COL|t_user|it's;
SELECT 1;
IFN_COL|t_user|age
