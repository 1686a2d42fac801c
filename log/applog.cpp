#include "log/applog.h"

Q_LOGGING_CATEGORY(appLog, "ZR_LOG.A")
