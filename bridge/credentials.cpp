// The session's credentials and TLS. All of it is handed to libmosquitto,
// which does the TLS itself: version 1.2 or newer, the broker's certificate
// verified against the CA and its name against the broker's host name (the
// library's default, never turned off here). A broker given by its address
// must hold that address among the certificate's IP entries: the library
// alone also takes a common name or a DNS entry that spells the address.
#include "credentials.h"
#include "options.h"
#include "resolver.h"
#include "secret_file.h"

#include <mosquitto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t MAX_PASSWORD = 256;
constexpr int VERIFY_PEER = 1;		/* OpenSSL's SSL_VERIFY_PEER */
constexpr const char *MIN_TLS_VERSION = "tlsv1.2";

// What the start read and checked, handed to every new client.
struct {
	const char *user = "root";
	char password[MAX_PASSWORD + 1];	/* NUL-terminated; empty: none read */
	const char *ca_file, *ca_dir, *cert, *key;
	char failure[PATH_MAX + 64];	/* why the last credentials_apply() failed; "" none */
} creds;

int refuse(const char *what, const char *path, const char *why)
{
	fprintf(stderr, "quilac: %s %s: %s\n", what, path, why);
	return -1;
}

// libmosquitto opens the CA file, certificate and key with a blocking open at
// every attempt: a FIFO or a device at the path would stop the daemon there.
// A certificate file readable now; a missing one would only show as a
// failure at every connection attempt.
int check_readable(const char *what, const char *path)
{
	if (access(path, R_OK) < 0)
		return refuse(what, path, strerror(errno));
	if (const char *why = file_not_regular(path))
		return refuse(what, path, why);
	return 0;
}

// The names OpenSSL opens in a CA directory: a hash, '.', an optional 'r'
// and a number ("9d66eef0.0", "9d66eef0.r1").
bool ca_hash_name(const char *name)
{
	for (int i = 0; i < 8; i++)
		if (!isxdigit((unsigned char) name[i]))
			return false;
	const char *p = name + 8;
	if (*p++ != '.')
		return false;
	if (*p == 'r')
		p++;
	if (!isdigit((unsigned char) *p))
		return false;
	while (isdigit((unsigned char) *p))
		p++;
	return !*p;
}

// OpenSSL opens a CA directory's files, by their hash names, with a
// blocking open when it verifies: a FIFO among them would hold the loop.
// The first such file that is not regular goes to `path`, with the reason.
const char *ca_dir_not_regular(const char *dir, char (&path)[PATH_MAX])
{
	DIR *d = opendir(dir);
	if (!d)
		return strerror(errno);
	const char *why = nullptr;
	while (const dirent *e = readdir(d)) {
		if (!ca_hash_name(e->d_name))
			continue;
		snprintf(path, sizeof(path), "%s/%s", dir, e->d_name);
		struct stat st;
		if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
			why = "not a regular file";	/* a link to nothing only fails */
			break;
		}
	}
	closedir(d);
	return why;
}

// The files may be replaced while quilac runs (they are read again at every
// attempt); one that is no longer a regular file stops that attempt only,
// and is named in creds.failure.
bool tls_files_still_regular()
{
	char path[PATH_MAX];
	if (const char *why = creds.ca_dir ? ca_dir_not_regular(creds.ca_dir, path) : nullptr) {
		snprintf(creds.failure, sizeof(creds.failure), "tls file %s: %s", path, why);
		return false;
	}
	const char *const files[] = { creds.ca_file, creds.cert, creds.key };
	for (const char *path : files) {
		const char *why = path ? file_not_regular(path) : nullptr;
		if (why) {
			snprintf(creds.failure, sizeof(creds.failure), "tls file %s: %s", path, why);
			return false;
		}
	}
	return true;
}

// An encrypted key would make OpenSSL ask for its passphrase on the terminal,
// holding the loop (and taking SIGTERM) meanwhile: no passphrase is given.
int no_passphrase(char *, int, int, void *)
{
	return -1;
}

int load_tls(const bridge_options *o)
{
	if ((o->cert != nullptr) != (o->key != nullptr)) {
		fprintf(stderr, "quilac: -E and -K go together\n");
		return -1;
	}
	if (o->cert && !o->ca) {
		fprintf(stderr, "quilac: -E and -K need -C\n");
		return -1;
	}
	if (!o->ca)
		return 0;

	struct stat st;
	if (stat(o->ca, &st) < 0)
		return refuse("CA file", o->ca, strerror(errno));
	char path[PATH_MAX] = "";
	if (S_ISDIR(st.st_mode)) {
		if (const char *why = ca_dir_not_regular(o->ca, path))
			return refuse("CA file", *path ? path : o->ca, why);
		creds.ca_dir = o->ca;
	} else if (check_readable("CA file", o->ca) < 0)
		return -1;
	else
		creds.ca_file = o->ca;
	if (!o->cert)
		return 0;
	if (check_readable("certificate file", o->cert) < 0)
		return -1;
	/* The library reads the key at every connection; it must be as well
	   kept as the password. */
	int fd = secret_file_open("quilac: key file", o->key);
	if (fd < 0)
		return -1;
	close(fd);
	creds.cert = o->cert;
	creds.key = o->key;
	return 0;
}

// Sets TLS up once on a client that never connects, so that what the library
// refuses (a build without TLS, a file it cannot open) stops the start
// instead of every connection attempt.
int try_tls()
{
	mosquitto_lib_init();
	struct mosquitto *trial = mosquitto_new(nullptr, true, nullptr);
	int rc = trial ? credentials_apply(trial, "", nullptr) : MOSQ_ERR_NOMEM;
	mosquitto_destroy(trial);
	mosquitto_lib_cleanup();
	if (rc)
		fprintf(stderr, "quilac: TLS cannot be set up: %s\n", mosquitto_strerror(rc));
	return rc ? -1 : 0;
}

} // namespace

int credentials_load(const bridge_options *o)
{
	/* the library refuses such a name at every attempt, never at start */
	if (mosquitto_validate_utf8(o->user, (int) strlen(o->user))) {
		fprintf(stderr, "quilac: user name: not valid UTF-8 or too long\n");
		return -1;
	}
	creds.user = o->user;
	if (o->password_file) {
		ssize_t n = secret_file_read("quilac: password file", o->password_file,
					     (unsigned char *) creds.password, MAX_PASSWORD, true);
		if (n < 0)
			return -1;
		creds.password[n] = '\0';
	}
	if (load_tls(o) < 0)
		return -1;
	return credentials_tls() ? try_tls() : 0;
}

bool credentials_from_file(void)
{
	return creds.password[0] != '\0';
}

bool credentials_tls(void)
{
	return creds.ca_file || creds.ca_dir;
}

namespace {

// Names `what` failed, with OpenSSL's reason, in creds.failure.
int tls_failed(const char *what)
{
	char why[120];
	ERR_error_string_n(ERR_get_error(), why, sizeof(why));
	snprintf(creds.failure, sizeof(creds.failure), "%s: %s", what, why);
	ERR_clear_error();
	return MOSQ_ERR_TLS;
}

// The whole chain and the address checked by OpenSSL alone: the library's own
// per-certificate check does not work with a context it did not make.
int keep_verdict(int ok, X509_STORE_CTX *)
{
	return ok;
}

int verify_chain_and_address(X509_STORE_CTX *store, void *)
{
	X509_STORE_CTX_set_verify_cb(store, keep_verdict);
	return X509_verify_cert(store);
}

// A broker given by its address: the library would also take its common name
// or a DNS entry that spells the address, so the TLS context is ours, with the
// same settings as the library's (TLS 1.2 or newer, the CA, our certificate)
// and the address required among the certificate's IP entries.
int require_ip_entry(struct mosquitto *mosq, const char *address)
{
	SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
	if (!ctx)
		return MOSQ_ERR_NOMEM;
	SSL_CTX_set_default_passwd_cb(ctx, no_passphrase);
	SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
	SSL_CTX_set_cert_verify_callback(ctx, verify_chain_and_address, nullptr);
	int rc = 0;
	if (!SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) ||
	    !X509_VERIFY_PARAM_set1_ip_asc(SSL_CTX_get0_param(ctx), address))
		rc = tls_failed("tls settings");
	else if (SSL_CTX_load_verify_locations(ctx, creds.ca_file, creds.ca_dir) != 1)
		rc = tls_failed("tls CA cannot be loaded");
	else if (creds.cert && SSL_CTX_use_certificate_chain_file(ctx, creds.cert) != 1)
		rc = tls_failed("tls certificate cannot be loaded");
	else if (creds.key && SSL_CTX_use_PrivateKey_file(ctx, creds.key, SSL_FILETYPE_PEM) != 1)
		rc = tls_failed("tls key cannot be loaded");
	else
		rc = mosquitto_void_option(mosq, MOSQ_OPT_SSL_CTX, ctx);	/* takes a reference */
	SSL_CTX_free(ctx);
	return rc;
}

} // namespace

int credentials_apply(struct mosquitto *mosq, const char *default_password, const char *host)
{
	creds.failure[0] = '\0';
	int rc = mosquitto_username_pw_set(mosq, creds.user,
					   credentials_from_file() ? creds.password : default_password);
	if (rc || !credentials_tls())
		return rc;
	if (!tls_files_still_regular())
		return MOSQ_ERR_INVAL;
	rc = mosquitto_tls_set(mosq, creds.ca_file, creds.ca_dir, creds.cert, creds.key, no_passphrase);
	if (!rc)
		rc = mosquitto_tls_opts_set(mosq, VERIFY_PEER, MIN_TLS_VERSION, nullptr);
	if (!rc)
		rc = mosquitto_tls_insecure_set(mosq, false);
	if (!rc && host && host_is_address(host))
		rc = require_ip_entry(mosq, host);
	return rc;
}

const char *credentials_failure(void)
{
	return creds.failure[0] ? creds.failure : nullptr;
}

void credentials_clear(void)
{
	secret_wipe(creds.password, sizeof(creds.password));
}
