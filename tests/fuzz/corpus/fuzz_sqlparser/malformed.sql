IFN_COL|t_user;
INSERT INTO t_user (name) VALUES ('never');
IFN_COL|a|b|c;
