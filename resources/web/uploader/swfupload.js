/* Multi-file uploader for the send-files page, built on HTML5 so that it works in browsers
   without Flash. It offers the script interface the page and handlers.js use: the
   constructor with the page's settings, the file and upload events, startUpload,
   cancelUpload, stopUpload and getStats. Each file is posted as its own multipart/form-data
   request (file field "Filedata") to upload_url; the queue and speed plug-ins are in
   swfupload.queue.js and swfupload.speed.js. */

var SWFUpload = function (settings) {
	this.initSWFUpload(settings);
};

SWFUpload.version = "2.2.0 (HTML5)";
SWFUpload.instances = {};
SWFUpload.movieCount = 0;
// Plug-ins push a function here; each runs on every new uploader before its button appears.
SWFUpload.plugins = [];

SWFUpload.QUEUE_ERROR = {
	QUEUE_LIMIT_EXCEEDED: -100,
	FILE_EXCEEDS_SIZE_LIMIT: -110,
	ZERO_BYTE_FILE: -120,
	INVALID_FILETYPE: -130
};
SWFUpload.UPLOAD_ERROR = {
	HTTP_ERROR: -200,
	MISSING_UPLOAD_URL: -210,
	IO_ERROR: -220,
	SECURITY_ERROR: -230,
	UPLOAD_LIMIT_EXCEEDED: -240,
	UPLOAD_FAILED: -250,
	SPECIFIED_FILE_ID_NOT_FOUND: -260,
	FILE_VALIDATION_FAILED: -270,
	FILE_CANCELLED: -280,
	UPLOAD_STOPPED: -290
};
SWFUpload.FILE_STATUS = {
	QUEUED: -1,
	IN_PROGRESS: -2,
	ERROR: -3,
	COMPLETE: -4,
	CANCELLED: -5
};
SWFUpload.BUTTON_ACTION = {
	SELECT_FILE: -100,
	SELECT_FILES: -110,
	START_UPLOAD: -120
};

// The four states of the button image, stacked from the top.
SWFUpload.BUTTON_STATE = { NORMAL: 0, OVER: 1, DOWN: 2, DISABLED: 3 };

SWFUpload.prototype.initSWFUpload = function (settings) {
	this.settings = {};
	for (var key in settings) {
		if (Object.prototype.hasOwnProperty.call(settings, key)) {
			this.settings[key] = settings[key];
		}
	}
	this.customSettings = this.settings.custom_settings || {};
	this.settings.custom_settings = this.customSettings;
	this.movieName = "SWFUpload_" + SWFUpload.movieCount++;
	SWFUpload.instances[this.movieName] = this;

	this.files = [];       // every file seen, by index
	this.queue = [];       // files waiting, in order
	this.current = null;   // the file being sent
	this.request = null;   // its XMLHttpRequest
	this.buttonDisabled = !!this.settings.button_disabled;
	this.stats = {
		in_progress: 0,
		files_queued: 0,
		successful_uploads: 0,
		upload_errors: 0,
		upload_cancelled: 0,
		queue_errors: 0
	};

	for (var i = 0; i < SWFUpload.plugins.length; i++) {
		SWFUpload.plugins[i](this);
	}
	this.createButton();
	this.queueEvent("swfupload_loaded_handler", []);
};

// ---- the Browse button -------------------------------------------------------------------

SWFUpload.prototype.createButton = function () {
	var placeholder = document.getElementById(this.settings.button_placeholder_id);
	if (!placeholder) {
		this.debug("No button placeholder " + this.settings.button_placeholder_id);
		return;
	}
	var width = parseInt(this.settings.button_width, 10) || 111;
	var height = parseInt(this.settings.button_height, 10) || 22;

	var button = document.createElement("span");
	button.id = this.movieName;
	button.className = "swfupload";
	button.style.display = "inline-block";
	button.style.position = "relative";
	button.style.overflow = "hidden";
	button.style.verticalAlign = "middle";
	button.style.width = width + "px";
	button.style.height = height + "px";
	button.style.cursor = "pointer";
	if (this.settings.button_image_url) {
		button.style.backgroundImage = "url(\"" + this.settings.button_image_url + "\")";
		button.style.backgroundRepeat = "no-repeat";
	}

	// The real file input covers the whole button, transparent, so a click on the image is
	// a click on the input: no scripted click that a browser could refuse.
	var input = document.createElement("input");
	input.type = "file";
	input.name = this.settings.file_post_name || "Filedata";
	input.title = "Browse for File...";
	input.multiple = this.settings.button_action !== SWFUpload.BUTTON_ACTION.SELECT_FILE;
	input.accept = this.acceptList();
	input.style.position = "absolute";
	input.style.left = "0";
	input.style.top = "0";
	input.style.width = "100%";
	input.style.height = "100%";
	input.style.opacity = "0";
	input.style.cursor = "pointer";

	button.appendChild(input);
	placeholder.parentNode.replaceChild(button, placeholder);
	this.button = button;
	this.fileInput = input;
	this.height = height;

	var self = this;
	var hover = false;
	var down = false;
	var paint = function () {
		var state = SWFUpload.BUTTON_STATE.NORMAL;
		if (self.buttonDisabled) {
			state = SWFUpload.BUTTON_STATE.DISABLED;
		} else if (down) {
			state = SWFUpload.BUTTON_STATE.DOWN;
		} else if (hover) {
			state = SWFUpload.BUTTON_STATE.OVER;
		}
		button.style.backgroundPosition = "0 " + (-state * self.height) + "px";
	};
	this.paintButton = paint;
	button.onmouseover = function () { hover = true; paint(); };
	button.onmouseout = function () { hover = false; down = false; paint(); };
	button.onmousedown = function () { down = true; paint(); };
	button.onmouseup = function () { down = false; paint(); };
	input.onclick = function () {
		if (self.buttonDisabled) {
			return false;
		}
		self.queueEvent("file_dialog_start_handler", []);
		return true;
	};
	input.onchange = function () {
		var chosen = [];
		for (var i = 0; i < input.files.length; i++) {
			chosen.push(input.files[i]);
		}
		// Cleared so that choosing the same file again still fires change.
		input.value = "";
		down = false;
		paint();
		self.selectFiles(chosen);
	};
	this.setButtonDisabled(this.buttonDisabled);
};

SWFUpload.prototype.setButtonDisabled = function (disabled) {
	this.buttonDisabled = !!disabled;
	if (this.fileInput) {
		this.fileInput.disabled = this.buttonDisabled;
		this.button.style.cursor = this.buttonDisabled ? "default" : "pointer";
		this.paintButton();
	}
};

// ---- choosing files ----------------------------------------------------------------------

// file_types such as "*.jpg;*.png" as an accept list; "*.*" accepts everything.
SWFUpload.prototype.acceptList = function () {
	var types = String(this.settings.file_types || "*.*").split(";");
	var accept = [];
	for (var i = 0; i < types.length; i++) {
		var t = types[i].replace(/^\s+|\s+$/g, "");
		if (t === "*.*" || t === "*" || t === "") {
			return "";
		}
		accept.push(t.replace(/^\*/, ""));
	}
	return accept.join(",");
};

SWFUpload.prototype.typeAllowed = function (name) {
	var accept = this.acceptList();
	if (accept === "") {
		return true;
	}
	var lower = name.toLowerCase();
	var list = accept.split(",");
	for (var i = 0; i < list.length; i++) {
		var ext = list[i].toLowerCase();
		if (ext !== "" && lower.length >= ext.length &&
				lower.substring(lower.length - ext.length) === ext) {
			return true;
		}
	}
	return false;
};

// "100 GB", "500 KB", "2048" (kilobytes when no unit is given); 0 means no limit.
SWFUpload.prototype.sizeLimitBytes = function () {
	var m = /^\s*(\d+(?:\.\d+)?)\s*(B|KB|MB|GB)?\s*$/i.exec(String(this.settings.file_size_limit || "0"));
	if (!m) {
		return 0;
	}
	var unit = (m[2] || "KB").toUpperCase();
	var scale = { B: 1, KB: 1024, MB: 1024 * 1024, GB: 1024 * 1024 * 1024 }[unit];
	return parseFloat(m[1]) * scale;
};

// How many more files may be queued now; Infinity when nothing limits it.
SWFUpload.prototype.queueRoom = function () {
	var room = Infinity;
	var uploadLimit = parseInt(this.settings.file_upload_limit, 10) || 0;
	var queueLimit = parseInt(this.settings.file_queue_limit, 10) || 0;
	if (uploadLimit > 0) {
		room = uploadLimit - this.stats.successful_uploads - this.stats.files_queued -
			this.stats.in_progress;
	}
	if (queueLimit > 0) {
		room = Math.min(room, queueLimit - this.stats.files_queued);
	}
	return Math.max(0, room);
};

SWFUpload.prototype.makeFile = function (blob) {
	var index = this.files.length;
	var modified = blob.lastModified ? new Date(blob.lastModified) : new Date();
	var file = {
		id: this.movieName + "_" + index,
		index: index,
		name: blob.name,
		size: blob.size,
		type: "." + (blob.name.lastIndexOf(".") >= 0 ? blob.name.substring(blob.name.lastIndexOf(".") + 1) : ""),
		creationdate: modified,
		modificationdate: modified,
		filestatus: SWFUpload.FILE_STATUS.QUEUED,
		post: {}
	};
	this.files.push(file);
	// Kept off the public object: handlers see only plain fields.
	this.blobs = this.blobs || {};
	this.blobs[file.id] = blob;
	return file;
};

SWFUpload.prototype.selectFiles = function (blobs) {
	var queued = 0;
	var room = this.queueRoom();
	if (blobs.length > room) {
		// Like a too-large selection in the native dialog: nothing of it is queued.
		this.stats.queue_errors++;
		var first = blobs.length > 0 ? this.makeFile(blobs[0]) : null;
		if (first) {
			first.filestatus = SWFUpload.FILE_STATUS.ERROR;
		}
		this.queueEvent("file_queue_error_handler", [first, SWFUpload.QUEUE_ERROR.QUEUE_LIMIT_EXCEEDED, room]);
	} else {
		var limit = this.sizeLimitBytes();
		for (var i = 0; i < blobs.length; i++) {
			var file = this.makeFile(blobs[i]);
			var error = 0;
			var message = "";
			if (limit > 0 && file.size > limit) {
				error = SWFUpload.QUEUE_ERROR.FILE_EXCEEDS_SIZE_LIMIT;
				message = "File size exceeds allowed limit.";
			} else if (file.size === 0) {
				error = SWFUpload.QUEUE_ERROR.ZERO_BYTE_FILE;
				message = "File is zero bytes and cannot be uploaded.";
			} else if (!this.typeAllowed(file.name)) {
				error = SWFUpload.QUEUE_ERROR.INVALID_FILETYPE;
				message = "File is not an allowed file type.";
			}
			if (error) {
				file.filestatus = SWFUpload.FILE_STATUS.ERROR;
				this.stats.queue_errors++;
				this.queueEvent("file_queue_error_handler", [file, error, message]);
			} else {
				this.queue.push(file);
				this.stats.files_queued++;
				queued++;
				this.queueEvent("file_queued_handler", [file]);
			}
		}
	}
	this.queueEvent("file_dialog_complete_handler", [blobs.length, queued, this.stats.files_queued]);
};

// ---- sending -----------------------------------------------------------------------------

SWFUpload.prototype.findQueued = function (fileID) {
	for (var i = 0; i < this.queue.length; i++) {
		if (fileID === undefined || fileID === null || this.queue[i].id === fileID ||
				this.queue[i].index === fileID) {
			return i;
		}
	}
	return -1;
};

SWFUpload.prototype.startUpload = function (fileID) {
	if (this.current) {
		return;
	}
	var at = this.findQueued(fileID);
	if (at < 0) {
		if (fileID !== undefined && fileID !== null) {
			this.queueEvent("upload_error_handler", [{ id: fileID, name: "" },
				SWFUpload.UPLOAD_ERROR.SPECIFIED_FILE_ID_NOT_FOUND, "File ID not found in the queue."]);
		}
		return;
	}
	var file = this.queue.splice(at, 1)[0];
	this.stats.files_queued--;
	this.stats.in_progress = 1;
	this.current = file;
	file.filestatus = SWFUpload.FILE_STATUS.IN_PROGRESS;

	var self = this;
	this.queueEvent("upload_start_handler", [file], function (go) {
		if (self.current !== file) {
			return;  // cancelled or stopped before it began
		}
		if (go === false) {
			self.finish(file, SWFUpload.FILE_STATUS.ERROR);
			self.stats.upload_errors++;
			self.queueEvent("upload_error_handler", [file,
				SWFUpload.UPLOAD_ERROR.FILE_VALIDATION_FAILED, "Upload start refused."]);
			self.queueEvent("upload_complete_handler", [file]);
			return;
		}
		self.send(file);
	});
};

SWFUpload.prototype.send = function (file) {
	var self = this;
	var url = this.settings.upload_url;
	if (!url) {
		this.finish(file, SWFUpload.FILE_STATUS.ERROR);
		this.stats.upload_errors++;
		this.queueEvent("upload_error_handler", [file, SWFUpload.UPLOAD_ERROR.MISSING_UPLOAD_URL, "Upload URL string is empty."]);
		this.queueEvent("upload_complete_handler", [file]);
		return;
	}

	var form = new FormData();
	var params = this.settings.post_params || {};
	for (var name in params) {
		if (Object.prototype.hasOwnProperty.call(params, name)) {
			form.append(name, params[name]);
		}
	}
	form.append("Filename", file.name);
	// The file goes last so that nothing follows it in the body.
	form.append(this.settings.file_post_name || "Filedata", this.blobs[file.id], file.name);

	var request = new XMLHttpRequest();
	this.request = request;
	request.open("POST", url, true);
	request.upload.onprogress = function (e) {
		if (self.request !== request || !e.lengthComputable || e.total <= 0) {
			return;
		}
		// The body holds the form fields too; report the file's share of it.
		var loaded = Math.min(file.size, Math.round(file.size * e.loaded / e.total));
		self.queueEvent("upload_progress_handler", [file, loaded, file.size]);
	};
	request.onload = function () {
		if (self.request !== request) {
			return;
		}
		self.request = null;
		if (request.status === 200) {
			self.finish(file, SWFUpload.FILE_STATUS.COMPLETE);
			self.stats.successful_uploads++;
			self.queueEvent("upload_progress_handler", [file, file.size, file.size]);
			self.queueEvent("upload_success_handler", [file, request.responseText, true]);
		} else {
			self.finish(file, SWFUpload.FILE_STATUS.ERROR);
			self.stats.upload_errors++;
			self.queueEvent("upload_error_handler", [file, SWFUpload.UPLOAD_ERROR.HTTP_ERROR, String(request.status)]);
		}
		self.queueEvent("upload_complete_handler", [file]);
	};
	request.onerror = function () {
		if (self.request !== request) {
			return;
		}
		self.request = null;
		self.finish(file, SWFUpload.FILE_STATUS.ERROR);
		self.stats.upload_errors++;
		self.queueEvent("upload_error_handler", [file, SWFUpload.UPLOAD_ERROR.IO_ERROR, "Connection to the receiver failed."]);
		self.queueEvent("upload_complete_handler", [file]);
	};
	request.send(form);
};

SWFUpload.prototype.finish = function (file, status) {
	file.filestatus = status;
	if (this.current === file) {
		this.current = null;
		this.stats.in_progress = 0;
	}
	if (status === SWFUpload.FILE_STATUS.COMPLETE || status === SWFUpload.FILE_STATUS.CANCELLED) {
		delete this.blobs[file.id];
	}
};

// Ends the current request (if any) without events; true when there was one.
SWFUpload.prototype.abortCurrent = function () {
	var request = this.request;
	this.request = null;
	if (request) {
		request.abort();
	}
	return this.current !== null;
};

// Cancels the file being sent, or a queued one; without fileID the file being sent or the
// first queued. triggerErrorEvent false cancels silently.
SWFUpload.prototype.cancelUpload = function (fileID, triggerErrorEvent) {
	var notify = triggerErrorEvent !== false;
	var file = null;
	var wasSending = false;
	if (this.current && (fileID === undefined || fileID === null || this.current.id === fileID)) {
		file = this.current;
		this.abortCurrent();
		wasSending = true;
	} else {
		var at = this.findQueued(fileID);
		if (at < 0) {
			return;
		}
		file = this.queue.splice(at, 1)[0];
		this.stats.files_queued--;
	}
	this.finish(file, SWFUpload.FILE_STATUS.CANCELLED);
	this.stats.upload_cancelled++;
	if (notify) {
		this.queueEvent("upload_error_handler", [file, SWFUpload.UPLOAD_ERROR.FILE_CANCELLED, "File Cancelled"]);
	}
	if (wasSending) {
		this.queueEvent("upload_complete_handler", [file]);
	}
};

// Stops the file being sent and puts it back at the head of the queue.
SWFUpload.prototype.stopUpload = function () {
	var file = this.current;
	if (!file) {
		return;
	}
	this.abortCurrent();
	this.finish(file, SWFUpload.FILE_STATUS.QUEUED);
	this.queue.unshift(file);
	this.stats.files_queued++;
	this.queueEvent("upload_error_handler", [file, SWFUpload.UPLOAD_ERROR.UPLOAD_STOPPED, "Upload Stopped"]);
	this.queueEvent("upload_complete_handler", [file]);
};

// ---- state -------------------------------------------------------------------------------

SWFUpload.prototype.getStats = function () {
	var copy = {};
	for (var key in this.stats) {
		if (Object.prototype.hasOwnProperty.call(this.stats, key)) {
			copy[key] = this.stats[key];
		}
	}
	return copy;
};

SWFUpload.prototype.getFile = function (fileID) {
	for (var i = 0; i < this.files.length; i++) {
		if (this.files[i].id === fileID || this.files[i].index === fileID) {
			return this.files[i];
		}
	}
	return null;
};

SWFUpload.prototype.addSetting = function (name, value, defaultValue) {
	this.settings[name] = value === undefined ? defaultValue : value;
	return this.settings[name];
};

SWFUpload.prototype.getSetting = function (name) {
	return this.settings[name] === undefined ? "" : this.settings[name];
};

SWFUpload.prototype.setUploadURL = function (url) {
	this.settings.upload_url = String(url);
};

SWFUpload.prototype.setPostParams = function (params) {
	this.settings.post_params = params;
};

SWFUpload.prototype.addPostParam = function (name, value) {
	this.settings.post_params = this.settings.post_params || {};
	this.settings.post_params[name] = value;
};

// ---- events ------------------------------------------------------------------------------

// Events run from the browser's task queue, one after another and never inside the call
// that caused them, so a handler may call back into the uploader safely.
SWFUpload.prototype.queueEvent = function (handlerName, args, then) {
	var self = this;
	setTimeout(function () {
		var result;
		var handler = self.settings[handlerName];
		if (typeof handler === "function") {
			try {
				result = handler.apply(self, args);
			} catch (ex) {
				self.debug(handlerName + " failed: " + ex);
			}
		}
		if (then) {
			then(result);
		}
	}, 0);
};

SWFUpload.prototype.debug = function (message) {
	if (this.settings.debug && window.console) {
		window.console.log("SWFUpload: " + message);
	}
};
