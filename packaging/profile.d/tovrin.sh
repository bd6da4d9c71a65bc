# Login shells find the shared suite that the filter and the browsers use.
if [ -z "${APP_GROUP_CONTAINERS_ROOT:-}" ]; then
    APP_GROUP_CONTAINERS_ROOT=/var/lib/tovrin/app-groups
    export APP_GROUP_CONTAINERS_ROOT
fi
